// The clients of the fan-out benchmark: CONNECTIONS node ws clients spread
// round-robin over the URLs. Prints "ready" once all are open; then counts the
// messages received until EXPECTED have arrived (or 600 s passed) and prints
// "DELIVERED SECONDS P50_MS P99_MS": the messages, the time from the first to
// the last arrival, and the delivery latency from each message's send time
// (its leading CLOCK_MONOTONIC microseconds, the clock of process.hrtime).
//   node fanout_client.js CONNECTIONS EXPECTED URL...
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', 'tests', 'peers', 'node', 'node_modules', 'ws'));
const [connections, expected, ...urls] = process.argv.slice(2);
const total = Number(expected);
const latencies = new Float64Array(total);
let received = 0;
let open = 0;
let first = 0n;
const finish = () => {
  const last = process.hrtime.bigint();
  const sorted = latencies.subarray(0, received).sort();
  const at = (q) => (received ? sorted[Math.min(received - 1, Math.floor(q * received))] : 0).toFixed(2);
  const seconds = Number(last - first) / 1e9;
  process.stdout.write(`${received} ${seconds.toFixed(3)} ${at(0.5)} ${at(0.99)}\n`, () => process.exit(0));
};
for (let i = 0; i < Number(connections); i++) {
  const ws = new WebSocket(urls[i % urls.length], { perMessageDeflate: false });
  ws.on('open', () => {
    if (++open === Number(connections)) process.stdout.write('ready\n');
  });
  ws.on('message', (data) => {
    const now = process.hrtime.bigint();
    if (!first) first = now;
    const text = data.toString('latin1', 0, 24);
    const sent = BigInt(text.slice(0, text.indexOf(' ')));
    if (received < total) latencies[received] = Number(now / 1000n - sent) / 1000;
    if (++received === total) finish();
  });
  ws.on('error', (e) => { console.error(String(e)); process.exit(1); });
}
setTimeout(finish, 600000);
