// The reference echo server of the WebSocket benchmark: node ws, echoing every
// message as it came (text or binary).   node ws_echo_server.js PORT
'use strict';
const path = require('path');
const { WebSocketServer } = require(path.join(__dirname, '..', 'tests', 'peers', 'node', 'node_modules', 'ws'));
const wss = new WebSocketServer({ host: '127.0.0.1', port: Number(process.argv[2]), perMessageDeflate: false });
wss.on('connection', (ws) => ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary })));
