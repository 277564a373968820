#!/usr/bin/env python3
"""Checks that the build enforces the layers of the agent libraries.

For every agent folder, a scratch source is preprocessed with the exact flags
of that folder's own sources (from compile_commands.json), once per other
folder's header. Including a folder of a higher layer, or another folder of
the same layer, must fail; including the folder's own header must work. The
module must not reach the host. Usage: check_layers.py <build dir>
"""
import json
import os
import shlex
import subprocess
import sys
import tempfile

# The layers from the bottom up, as docs/architecture.md lists them.
LAYERS = [
    ["platform"],
    ["json_io", "text", "paths", "reactor", "plugin", "metrics"],
    ["json_spirit"],
    ["eventutil", "modsess", "pkgutil", "httpd", "storage_catalog", "database", "queue"],
    ["systemutil", "clntio", "job"],
    ["json_rpc", "restful"],
    ["websocketc"],
    ["chost"],
    ["wagent"],
]
LAYER_OF = {folder: n for n, layer in enumerate(LAYERS) for folder in layer}
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def header_of(folder):
    path = os.path.join(SOURCE, "agent", folder)
    return sorted(f for f in os.listdir(path) if f.endswith(".h"))[0]


def flags_by_folder(build):
    """The compile command of one source of each folder, and of the module."""
    found = {}
    with open(os.path.join(build, "compile_commands.json")) as f:
        for entry in json.load(f):
            rel = os.path.relpath(entry["file"], SOURCE).split(os.sep)
            if rel[0] == "agent" and rel[1] in LAYER_OF:
                found.setdefault(rel[1], entry)
            elif rel[0] == "websvcs":
                found.setdefault("module", entry)
    return found


def preprocesses(entry, folder):
    """Whether a source including `folder`'s header preprocesses with `entry`'s flags."""
    args = shlex.split(entry["command"])
    keep = [a for i, a in enumerate(args)
            if a not in ("-c", "-o") and args[i - 1] not in ("-o",) and a != entry["file"]]
    with tempfile.NamedTemporaryFile("w", suffix=".cpp") as scratch:
        scratch.write('#include "agent/%s/%s"\n' % (folder, header_of(folder)))
        scratch.flush()
        run = subprocess.run(keep + ["-E", "-o", os.devnull, scratch.name],
                             cwd=entry["directory"], capture_output=True)
    return run.returncode == 0


def main():
    found = flags_by_folder(sys.argv[1])
    missing = [f for f in list(LAYER_OF) + ["module"] if f not in found]
    if missing:
        sys.exit("no compile command for: " + ", ".join(missing))
    faults = []
    for folder, layer in LAYER_OF.items():
        if not preprocesses(found[folder], folder):
            faults.append("%s cannot include its own header" % folder)
        for other, other_layer in LAYER_OF.items():
            if other != folder and other_layer >= layer and preprocesses(found[folder], other):
                faults.append("%s (layer %d) can include %s (layer %d)"
                              % (folder, layer + 1, other, other_layer + 1))
    if preprocesses(found["module"], "wagent"):
        faults.append("the module can include the host")
    if not preprocesses(found["module"], "chost"):
        faults.append("the module cannot include the agent libraries")
    for fault in faults:
        print(fault)
    print("%d faults" % len(faults))
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
