// The load client of the WebSocket benchmark: CONNECTIONS connections each
// send a message of SIZE octets and wait for its echo, again and again, for
// SECONDS; prints the messages echoed per second.
//   node ws_echo_client.js URL SIZE CONNECTIONS SECONDS [text|binary]
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, '..', 'tests', 'peers', 'node', 'node_modules', 'ws'));
const [url, size, connections, seconds, kind] = process.argv.slice(2);
const payload = kind === 'binary' ? Buffer.alloc(Number(size), 7) : 'x'.repeat(Number(size));
let echoed = 0;
let open = 0;
let running = true;
let started = 0;
for (let i = 0; i < Number(connections); i++) {
  const ws = new WebSocket(url, { perMessageDeflate: false });
  ws.on('open', () => {
    if (++open === Number(connections)) {
      started = Date.now();
      setTimeout(finish, Number(seconds) * 1000);
    }
    ws.send(payload);
  });
  ws.on('message', (data) => {
    if (data.length !== Number(size)) { console.error('wrong echo length', data.length); process.exit(1); }
    if (!running) return;
    if (started) echoed++;
    ws.send(payload);
  });
  ws.on('error', (e) => { console.error(String(e)); process.exit(1); });
}
function finish() {
  running = false;
  console.log((echoed / ((Date.now() - started) / 1000)).toFixed(0));
  process.exit(0);
}
