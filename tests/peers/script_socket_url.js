// Loads the component's zalWebSockets.js (a file) with a stand-in WebSocket and
// prints, one per line, the URL a client opens for each path given:
//   node script_socket_url.js zalWebSockets.js PATH...
'use strict';
const fs = require('fs');
const vm = require('vm');

const opened = [];
const sandbox = { WebSocket: function (url) { opened.push(url); } };
vm.createContext(sandbox);
vm.runInContext(fs.readFileSync(process.argv[2], 'utf8'), sandbox);
for (const path of process.argv.slice(3))
  new sandbox.zalWebSockets.Client({ path }).open();
console.log(opened.join('\n'));
