// zalWebSockets Flash fallback: a page that embeds a Flash WebSocket movie
// (which asks this server for its policy with <policy-file-request/> and then
// speaks ordinary WebSocket frames) exposes it as window.FlashWebSocket. This
// server ships no movie, so the fallback is usable only where the page
// provides one.
(function (global) {
  'use strict';
  var zal = global.zalWebSockets = global.zalWebSockets || { fallbacks: [] };

  zal.fallbacks.push({
    name: 'flash',
    available: function () { return typeof global.FlashWebSocket === 'function'; },
    open: function (client, target) {
      var socket = new global.FlashWebSocket(zal.socketOrigin + target, client.options.protocols || []);
      socket.onopen = function () { client.readyState = 'open'; client.onopen(''); };
      socket.onmessage = function (event) { client.onmessage(event.data); };
      socket.onclose = function (event) { client.readyState = 'closed'; client.onclose(event.code, event.reason); };
      return socket;
    }
  });
})(this);
