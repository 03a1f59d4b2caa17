// zalWebSockets fallback over server-sent events: the server's messages come
// as an event stream whose first event is this client's key; the client's
// messages go as POST requests to /zal/xhr/<key>.
(function (global) {
  'use strict';
  var zal = global.zalWebSockets = global.zalWebSockets || { fallbacks: [] };

  function EventSourceTransport(client, target) {
    var self = this;
    this.key = null;
    this.client = client;
    this.source = new global.EventSource(zal.origin + target);
    this.source.onmessage = function (event) {
      if (self.key === null) {  // the first event names the connection
        self.key = event.data;
        client.readyState = 'open';
        return client.onopen('');
      }
      if (event.data !== self.key)  // the server sends the key twice
        client.onmessage(event.data);
    };
    this.source.onerror = function () {
      if (self.source.readyState === 2)
        self.close(1006);
    };
  }

  EventSourceTransport.prototype.send = function (text) {
    var request = new global.XMLHttpRequest();
    request.open('POST', zal.origin + '/zal/xhr/' + this.key);
    request.setRequestHeader('Content-Type', 'text/plain; charset=utf-8');
    request.send(text);
  };

  EventSourceTransport.prototype.close = function (code) {
    this.source.close();
    if (this.client.readyState !== 'closed') {
      this.client.readyState = 'closed';
      this.client.onclose(code, '');
    }
  };

  zal.fallbacks.push({
    name: 'eventsource',
    available: function () { return typeof global.EventSource === 'function'; },
    open: function (client, target) { return new EventSourceTransport(client, target); }
  });
})(this);
