// Headless Chromium holds a WebSocket open for a while, answering the server's
// pings as browsers do (automatically, unseen by the page).
//   node ws_heartbeat_chromium.mjs URL MILLISECONDS
// Prints one JSON line: whether the socket opened and whether it is still open.
import { withChromiumPage } from './chromium.mjs';

const [url, milliseconds] = process.argv.slice(2);
let result;
try {
  result = await withChromiumPage((page) => page.evaluate(async ([url, milliseconds]) => {
    const ws = new WebSocket(url);
    const opened = await new Promise((resolve) => {
      ws.onopen = () => resolve(true);
      ws.onerror = () => resolve(false);
    });
    let closed = null;
    ws.onclose = (event) => { closed = { code: event.code, wasClean: event.wasClean }; };
    await new Promise((resolve) => setTimeout(resolve, milliseconds));
    const stillOpen = ws.readyState === WebSocket.OPEN;
    ws.close(1000);
    return { opened, stillOpen, closed };
  }, [url, Number(milliseconds)]), { tls: url.startsWith('wss:') });
} catch (error) {
  result = { error: String(error) };
}
console.log(JSON.stringify(result));
