// A node `ws` client for the WebSocket tests. It connects, prints the
// negotiated subprotocol and extensions, then sends each message and prints
// what comes back, one JSON object per line.
//   node ws_client.js <url> [options-json] [messages-json]
// options: {"protocols": [...], "perMessageDeflate": false | {...ws options}}
// messages: [{"text": "..."} | {"repeat": "abc", "size": 70000}], each sent
// compressed (when negotiated) and answered by the server's echo.
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, 'node', 'node_modules', 'ws'));

const [url, optionsJson = '{}', messagesJson = '[]'] = process.argv.slice(2);
const options = JSON.parse(optionsJson);
const messages = JSON.parse(messagesJson).map((m) => (m.repeat ? m.repeat.repeat(m.size / m.repeat.length + 1).slice(0, m.size) : m.text));
const print = (object) => process.stdout.write(JSON.stringify(object) + '\n');
const finish = (code) => process.stdout.write('', () => process.exit(code));

const ws = new WebSocket(url, options.protocols || [], {
  perMessageDeflate: options.perMessageDeflate === undefined ? false : options.perMessageDeflate,
  handshakeTimeout: 5000,
});
let received = 0;
const sendNext = () => {
  if (received === messages.length) {
    ws.terminate();
    finish(0);
    return;
  }
  ws.send(messages[received]);
};
ws.on('open', () => {
  const deflate = ws._extensions['permessage-deflate'];
  print({ open: true, protocol: ws.protocol, extensions: ws.extensions, params: deflate ? deflate.params : null });
  sendNext();
});
ws.on('message', (data) => {
  const text = data.toString();
  print({ echo: text === messages[received], size: text.length });
  received++;
  sendNext();
});
ws.on('unexpected-response', (request, response) => {
  print({ status: response.statusCode, headers: response.headers });
  finish(0);
});
ws.on('error', (error) => {
  print({ error: error.message });
  finish(1);
});
setTimeout(() => {
  print({ error: 'timeout' });
  finish(2);
}, 20000);
