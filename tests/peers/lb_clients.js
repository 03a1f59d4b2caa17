// node `ws` clients for the load-balancer tests: one process holds them all.
//   node lb_clients.js URL[#CHANNEL] ...
// Each client waits for the server's "guid:GUID:NODE" greeting, subscribes to
// CHANNEL when one is given, and then reports "ready INDEX GUID NODE". Once
// all are ready it prints "all-ready"; afterwards every message a client
// receives is printed as "msg INDEX TEXT" (text) or "bin INDEX TEXT" (binary).
// It ends when standard input closes, or after 120 s.
'use strict';
const path = require('path');
const WebSocket = require(path.join(__dirname, 'node', 'node_modules', 'ws'));

const targets = process.argv.slice(2);
const print = (line) => process.stdout.write(line + '\n');
let ready = 0;

targets.forEach((target, index) => {
  const [url, channel] = target.split('#');
  const ws = new WebSocket(url, { perMessageDeflate: false, handshakeTimeout: 10000 });
  let greeted = false;
  const markReady = (guid, node) => {
    print(`ready ${index} ${guid} ${node}`);
    if (++ready === targets.length) print('all-ready');
  };
  let greeting = null;
  ws.on('message', (data, isBinary) => {
    const text = data.toString();
    if (!greeted) {
      greeted = true;
      greeting = text.split(':');
      if (channel) ws.send('subscribe:' + channel);
      else markReady(greeting[1], greeting[2]);
      return;
    }
    if (channel && text === 'subscribed:' + channel && greeting) {
      markReady(greeting[1], greeting[2]);
      greeting = null;
      return;
    }
    print(`${isBinary ? 'bin' : 'msg'} ${index} ${text}`);
  });
  ws.on('error', (error) => print(`error ${index} ${error.message}`));
  ws.on('close', () => print(`closed ${index}`));
});

process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
setTimeout(() => process.exit(2), 120000);
