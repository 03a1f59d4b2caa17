// zalWebSockets browser client for this server. The server fills in its own
// address where the placeholders stand, so new zalWebSockets.Client() with no
// URL talks to the server that served this script.
//
//   var client = new zalWebSockets.Client({ path: '/chat', protocols: ['chat'] });
//   client.onopen = function () { client.send('hello'); };
//   client.onmessage = function (text) { ... };
//   client.open();
//
// Credentials: { user, password } open the socket on /zal/auth/url/<user>/<password>;
// client.openWithSession(user, password) first asks /zal/req/auth/session/ for a
// single-use session ID and opens the socket on /zal/auth/session/<ID>.
// Without WebSocket support the fallbacks registered before this script
// (server-sent events, Flash) are tried in that order.
(function (global) {
  'use strict';
  var zal = global.zalWebSockets = global.zalWebSockets || { fallbacks: [] };
  zal.secure = '{%ssl%}' === 's';
  zal.origin = 'http{%ssl%}://{%host%}:{%port%}';
  zal.socketOrigin = 'ws{%ssl%}://{%host%}:{%port%}';

  function Client(options) {
    this.options = options || {};
    this.transport = null;
    this.readyState = 'closed';
    this.onopen = this.onmessage = this.onclose = this.onerror = function () {};
  }

  Client.prototype.path = function () {
    var o = this.options, path = o.path || '/';
    if (o.user !== undefined)
      return '/zal/auth/url/' + encodeURIComponent(o.user) + '/' + encodeURIComponent(o.password || '') + path;
    return path;
  };

  // A target is always a path on this server: whatever it starts with (a
  // user-info "@host", "//host", backslashes), it cannot name another host.
  function ownPath(target) {
    return '/' + String(target).replace(/^[\/\\]+/, '');
  }

  Client.prototype.open = function (path) {
    var self = this, target = ownPath(path || this.path());
    this.readyState = 'connecting';
    if (!global.WebSocket)
      return this.openFallback(target, 0);
    var socket = new global.WebSocket(zal.socketOrigin + target, this.options.protocols || []);
    this.transport = socket;
    socket.onopen = function () { self.readyState = 'open'; self.onopen(socket.protocol); };
    socket.onmessage = function (event) { self.onmessage(event.data); };
    socket.onerror = function () { self.onerror('WebSocket error'); };
    socket.onclose = function (event) { self.readyState = 'closed'; self.onclose(event.code, event.reason); };
  };

  // The next registered fallback that this browser can use, else an error.
  Client.prototype.openFallback = function (target, index) {
    var fallbacks = zal.fallbacks;
    for (; index < fallbacks.length; ++index) {
      if (fallbacks[index].available()) {
        this.transport = fallbacks[index].open(this, target);
        return;
      }
    }
    this.readyState = 'closed';
    this.onerror('No transport: this browser has no WebSocket and no usable fallback');
    this.onclose(1006, '');
  };

  Client.prototype.openWithSession = function (user, password) {
    var self = this, request = new global.XMLHttpRequest();
    request.open('GET', zal.origin + '/zal/req/auth/session/' + encodeURIComponent(user) + '/' +
                 encodeURIComponent(password || ''));
    request.onload = function () {
      var lines = request.responseText.split('\r\n');
      if (request.status !== 200 || !/^[0-9A-F]{32}$/.test(lines[0])) {
        self.onerror('Session request refused (' + request.status + ')');
        return self.onclose(1008, 'Authentication Denied');
      }
      self.open('/zal/auth/session/' + lines[0] + (self.options.path || '/'));
    };
    request.onerror = function () { self.onerror('Session request failed'); };
    request.send();
  };

  Client.prototype.send = function (text) {
    if (this.readyState !== 'open')
      throw new Error('zalWebSockets: send while ' + this.readyState);
    this.transport.send(text);
  };

  Client.prototype.close = function (code) {
    if (this.transport)
      this.transport.close(code || 1000);
  };

  zal.Client = Client;
})(this);
