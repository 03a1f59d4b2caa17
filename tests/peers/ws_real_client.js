// Real-client scenarios with node ws against the component's echo server.
//   node ws_real_client.js ordered|paused|close URL
// ordered: asks the server to send 4 x 1000 compressed messages from four
//          application threads; checks that all arrive, in order per thread.
// paused:  stops reading while the server floods the connection; resumes after
//          two seconds and reports the close code.
// close:   asks the server to close with 4000.
// Prints one JSON line with the result.
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, 'node', 'node_modules', 'ws'));

const [mode, url] = process.argv.slice(2);
const ws = new WebSocket(url, { perMessageDeflate: mode === 'ordered' });
const result = { mode, error: null };
const next = {};
let received = 0;
let outOfOrder = 0;

ws.on('error', (e) => { result.error = String(e.message || e); });
ws.on('open', () => {
  if (mode === 'ordered') ws.send('start');
  if (mode === 'paused') {
    ws._socket.pause();
    ws.send('flood');
    setTimeout(() => ws._socket.resume(), 2000);
  }
  if (mode === 'close') ws.send('close4000');
});
ws.on('message', (data) => {
  received++;
  if (mode !== 'ordered') return;
  const [thread, index] = String(data).split(':');
  if (Number(index) !== (next[thread] || 0)) outOfOrder++;
  next[thread] = Number(index) + 1;
  if (received === 4000) ws.close(1000);
});
ws.on('close', (code) => {
  result.code = code;
  result.received = received;
  result.outOfOrder = outOfOrder;
  result.extensions = ws.extensions;
  console.log(JSON.stringify(result));
  process.exit(0);
});
setTimeout(() => { console.log(JSON.stringify({ mode, error: 'timed out', received })); process.exit(1); }, 60000);
