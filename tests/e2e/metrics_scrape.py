"""Reads a Prometheus text exposition on stdin with the Prometheus client
library's own parser and prints what it read as one JSON object:
{"types": {family: type}, "samples": [[name, {label: value}, value], ...]}.
Text the parser refuses exits non-zero with its reason. Run by
metrics_e2e_test.
"""
import json
import math
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    text = sys.stdin.read()
    types, samples = {}, []
    try:
        for family in text_string_to_metric_families(text):
            types[family.name] = family.type
            for s in family.samples:
                value = s.value
                if math.isinf(value):
                    value = "+Inf" if value > 0 else "-Inf"
                samples.append([s.name, s.labels, value])
    except Exception as e:  # the parser's refusal is the report
        sys.exit("not Prometheus text: %r" % (e,))
    json.dump({"types": types, "samples": samples}, sys.stdout)


if __name__ == "__main__":
    main()
