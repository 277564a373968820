// JSON-RPC 2.0 batches and binary messages against a running wagent, with
// the json-rpc-2.0 client over POST (Node's fetch) and WebSocket (ws).
// Usage: node batch_test.mjs HOST PORT KEY PLAIN_KEY LIST_DIR LIST_FILES BATCH_MAX
// KEY holds both admin bits, PLAIN_KEY none. Prints one line per check and
// exits 1 when one failed.
import { JSONRPCClient } from "json-rpc-2.0";
import WebSocket from "ws";

const [host, port, key, plainKey, listDir, listFiles, batchMax] = process.argv.slice(2);
const url = `http://${host}:${port}/jsonrpc`;
let failures = 0;

function check(name, ok, detail) {
  if (ok) {
    console.log(`ok ${name}`);
  } else {
    failures++;
    console.log(`FAIL ${name}: ${detail}`);
  }
}

const call = (id, method, params) =>
  params === undefined ? { jsonrpc: "2.0", id, method } : { jsonrpc: "2.0", id, method, params };
const note = (method, params) => ({ jsonrpc: "2.0", method, params });
const codeOf = (r) => (r && r.error ? r.error.code : 0);

// A client over POST that keeps the last raw exchange. Answers that are not
// an array (a refused batch) settle whatever the batch still waits for.
function postClient(sessionKey) {
  const last = {};
  const client = new JSONRPCClient(async (payload) => {
    const headers = { "content-type": "application/json" };
    if (sessionKey) headers["X-Session-Key"] = sessionKey;
    const response = await fetch(url, { method: "POST", headers, body: JSON.stringify(payload) });
    last.status = response.status;
    last.encoding = response.headers.get("transfer-encoding");
    last.text = await response.text();
    last.body = last.text ? JSON.parse(last.text) : undefined;
    if (last.body !== undefined) client.receive(last.body);
    if (!Array.isArray(last.body)) client.rejectAllPendingRequests("no answer of its own");
  });
  return { client, last };
}

// The same over one WebSocket; every message received is kept in order.
async function wsClient(sessionKey) {
  const target = sessionKey ? `ws://${host}:${port}/jsonrpc?session=${sessionKey}` : `ws://${host}:${port}/jsonrpc`;
  const socket = new WebSocket(target);
  const messages = [];
  let waiter = null;
  const client = new JSONRPCClient((payload) => socket.send(JSON.stringify(payload)));
  socket.on("message", (data, binary) => {
    const text = data.toString();
    const body = JSON.parse(text);
    messages.push({ text, body, binary });
    client.receive(body);
    if (waiter) waiter();
  });
  await new Promise((resolve, reject) => {
    socket.once("open", resolve);
    socket.once("error", reject);
  });
  // The next message not yet taken, or undefined after `ms`.
  let taken = 0;
  const next = (ms) =>
    new Promise((resolve) => {
      const done = () => {
        clearTimeout(timer);
        waiter = null;
        resolve(messages[taken++]);
      };
      const timer = setTimeout(() => {
        waiter = null;
        resolve(undefined);
      }, ms);
      if (taken < messages.length) return done();
      waiter = done;
    });
  return { client, socket, next };
}

const mixed = () => [
  call(1, "host.info"),
  note("host.info", null),
  {},
  1,
  call(2, "no.such.method"),
];

async function postChecks() {
  const keyed = postClient(key);
  const { client, last } = postClient("");

  // Calls, a notification, invalid members and an unknown method (with a
  // session: without one it would be refused before it is looked up): the
  // client's promise settles with its two answers; the array holds four,
  // in member order.
  let answers = await keyed.client.requestAdvanced(mixed());
  check("post mixed batch settles", answers.length === 2 && codeOf(answers[0]) === 0 &&
        answers[0].id === 1 && typeof answers[0].result === "object" &&
        codeOf(answers[1]) === -32601 && answers[1].id === 2, JSON.stringify(answers));
  const raw = keyed.last;
  check("post mixed batch array in member order", Array.isArray(raw.body) &&
        raw.body.length === 4 && raw.body[0].id === 1 &&
        codeOf(raw.body[1]) === -32600 && raw.body[1].id === null &&
        codeOf(raw.body[2]) === -32600 && raw.body[2].id === null &&
        codeOf(raw.body[3]) === -32601 && raw.body[3].id === 2, raw.text);

  answers = await client.requestAdvanced([note("host.info", null), note("host.info", null)]);
  check("post notifications only: 204, no body", last.status === 204 && last.text === "" &&
        answers.length === 0, `${last.status} ${last.text}`);

  await client.requestAdvanced([]);
  check("post empty batch: one -32600 object", last.status === 200 && !Array.isArray(last.body) &&
        codeOf(last.body) === -32600 && last.body.id === null, last.text);

  const over = [];
  for (let i = 0; i <= Number(batchMax); i++) over.push(call(100 + i, "host.test", 0));
  answers = await client.requestAdvanced(over);
  const message = last.body && last.body.error ? last.body.error.message : "";
  check("post over-limit batch: one -32600 naming both numbers",
        !Array.isArray(last.body) && codeOf(last.body) === -32600 &&
        message.includes("jsonrpc.batch_max") && message.includes(String(over.length)) &&
        message.includes(`(${batchMax})`) && answers.every((a) => a.error), last.text);

  // Without a session only the open methods run; the rest are refused
  // member by member, the acting method included.
  answers = await client.requestAdvanced([
    call(1, "fs.statfs", "/"), call(2, "host.info"), call(3, "system.execute", { cmd: "true" }),
  ]);
  check("post closed members refused, open member answered",
        answers.length === 3 && codeOf(answers[0]) === -32603 &&
        answers[0].error.message === "Unauthenticated." && codeOf(answers[1]) === 0 &&
        codeOf(answers[2]) === -32603 && answers[2].error.message === "Unauthenticated.",
        JSON.stringify(answers));

  const plain = postClient(plainKey);
  answers = await plain.client.requestAdvanced([call(1, "system.execute", { cmd: "true" }),
                                               call(2, "fs.statfs", "/")]);
  check("post acting member needs the admin bits",
        codeOf(answers[0]) === -32603 && answers[0].error.message === "Forbidden." &&
        codeOf(answers[1]) === 0, JSON.stringify(answers));

  // A listing far beyond one chunk, between two small answers: streamed
  // (chunked), and whole.
  answers = await keyed.client.requestAdvanced([
    call(1, "host.info"), call(2, "fs.list", { path: listDir }), call(3, "host.info"),
  ]);
  check("post large listing inside a batch",
        keyed.last.encoding === "chunked" && answers.length === 3 &&
        answers[1].result.length === Number(listFiles) && codeOf(answers[0]) === 0 &&
        codeOf(answers[2]) === 0,
        `${keyed.last.encoding} ${keyed.last.text.length} bytes`);

  // Members run one after another: an anonymous caller's batch of three
  // waits fits a worker share of one thread and one queued request, and a
  // keyed caller is served meanwhile.
  const started = Date.now();
  const waits = client.requestAdvanced([call(1, "host.test", 1), call(2, "host.test", 1),
                                        call(3, "host.test", 1)]);
  await new Promise((resolve) => setTimeout(resolve, 300));
  const quick = Date.now();
  const info = await keyed.client.request("host.info");
  const keyedMs = Date.now() - quick;
  answers = await waits;
  const batchMs = Date.now() - started;
  check("post members one after another within the anonymous share",
        answers.length === 3 && answers.every((a) => a.result === "OK") && batchMs >= 2900 &&
        typeof info === "object" && keyedMs < 2000,
        `${JSON.stringify(answers)} batch ${batchMs} ms, keyed call ${keyedMs} ms`);
}

async function wsChecks() {
  const keyed = await wsClient(key);
  let answers = await keyed.client.requestAdvanced(mixed());
  let message = await keyed.next(5000);
  check("ws mixed batch settles", answers.length === 2 && answers[0].id === 1 &&
        codeOf(answers[0]) === 0 && codeOf(answers[1]) === -32601, JSON.stringify(answers));
  check("ws mixed batch is one array message in member order",
        message && Array.isArray(message.body) && message.body.length === 4 &&
        codeOf(message.body[1]) === -32600 && codeOf(message.body[2]) === -32600 &&
        message.body[3].id === 2, message && message.text);

  // Nothing at all for notifications only: the next message is the answer
  // to the call after them.
  await keyed.client.requestAdvanced([note("host.info", null)]);
  const after = await keyed.client.requestAdvanced(call(7, "host.info"));
  message = await keyed.next(5000);
  check("ws notifications only: no message", after.id === 7 && message &&
        !Array.isArray(message.body) && message.body.id === 7, message && message.text);

  keyed.socket.send("[]");
  message = await keyed.next(5000);
  check("ws empty batch: one -32600 object", message && !Array.isArray(message.body) &&
        codeOf(message.body) === -32600, message && message.text);

  const over = [];
  for (let i = 0; i <= Number(batchMax); i++) over.push(call(200 + i, "host.test", 0));
  keyed.socket.send(JSON.stringify(over));
  message = await keyed.next(5000);
  check("ws over-limit batch: one -32600", message && !Array.isArray(message.body) &&
        codeOf(message.body) === -32600 &&
        message.body.error.message.includes("jsonrpc.batch_max"), message && message.text);

  const anonymous = await wsClient("");
  answers = await anonymous.client.requestAdvanced([call(11, "fs.statfs", "/"), call(12, "host.info")]);
  check("ws closed member refused, open member answered",
        codeOf(answers[0]) === -32603 && answers[0].error.message === "Unauthenticated." &&
        codeOf(answers[1]) === 0, JSON.stringify(answers));
  anonymous.socket.close();

  answers = await keyed.client.requestAdvanced([
    call(21, "host.info"), call(22, "fs.list", { path: listDir }), call(23, "host.info"),
  ]);
  message = await keyed.next(5000);
  check("ws large listing inside a batch: one whole message",
        message && Array.isArray(message.body) && message.body.length === 3 &&
        message.body[1].result.length === Number(listFiles) && answers[2].id === 23,
        message ? `${message.text.length} bytes` : "no message");

  // A binary message ends the connection with 1003.
  const closed = new Promise((resolve) => keyed.socket.once("close", (code) => resolve(code)));
  console.log(`binary-from 127.0.0.1:${keyed.socket._socket.localPort}`);
  keyed.socket.send(Buffer.from([1, 2, 3]), { binary: true });
  const code = await Promise.race([closed, new Promise((r) => setTimeout(() => r("timeout"), 5000))]);
  check("ws binary message closes with 1003", code === 1003, String(code));
}

try {
  await postChecks();
  await wsChecks();
} catch (e) {
  failures++;
  console.log(`FAIL exception: ${e && e.stack ? e.stack : e}`);
}
process.exit(failures ? 1 : 0);
