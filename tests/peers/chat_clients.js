// node `ws` clients of the demo's chat: COUNT clients open URL (TLS, the demo's
// self-signed certificate accepted), then the first sends TEXT. Every message a
// client receives is printed as "got INDEX TEXT"; "all-open" once all are open.
//   node chat_clients.js URL COUNT TEXT
// It ends when standard input closes, or after 60 s.
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, 'node', 'node_modules', 'ws'));

const [url, countText, text] = process.argv.slice(2);
const count = Number(countText);
const clients = [];
let open = 0;
for (let index = 0; index < count; index++) {
  const ws = new WebSocket(url, { rejectUnauthorized: false, perMessageDeflate: false, handshakeTimeout: 10000 });
  clients.push(ws);
  ws.on('open', () => {
    if (++open < count) return;
    process.stdout.write('all-open\n');
    clients[0].send(text);
  });
  ws.on('message', (data) => process.stdout.write(`got ${index} ${data.toString()}\n`));
  ws.on('error', (error) => process.stdout.write(`error ${index} ${error.message}\n`));
}
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
setTimeout(() => process.exit(2), 60000);
