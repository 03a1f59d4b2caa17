// Headless Chromium as a WebSocket client of the echo server: a text and a
// binary message of 1 MiB each come back whole (compressed with
// permessage-deflate when the server offers it), then the server closes with
// 4000 and the page sees a clean close; a second connection closes from the
// page with 1000, also clean.
//   node ws_chromium.mjs URL
// Prints one JSON line with what the page saw.
import { withChromiumPage } from './chromium.mjs';

const [url] = process.argv.slice(2);
let result;
try {
  result = await withChromiumPage((page) => page.evaluate(async (url) => {
    const open = () => new Promise((resolve, reject) => {
      const ws = new WebSocket(url);
      ws.binaryType = 'arraybuffer';
      ws.onopen = () => resolve(ws);
      ws.onerror = () => reject(new Error('connection failed'));
    });
    const next = (ws) => new Promise((resolve) => { ws.onmessage = (event) => resolve(event.data); });
    const closed = (ws) => new Promise((resolve) => {
      ws.onclose = (event) => resolve({ code: event.code, wasClean: event.wasClean });
    });

    const ws = await open();
    const text = Array.from({ length: 1 << 20 }, (_, i) => String.fromCharCode(97 + (i * 7919) % 26)).join('');
    ws.send(text);
    const textBack = await next(ws);
    const binary = new Uint8Array(1 << 20).map((_, i) => (i * 31) & 0xff);
    ws.send(binary);
    const binaryBack = new Uint8Array(await next(ws));
    const serverClose = closed(ws);
    ws.send('close4000');

    const second = await open();
    const clientClose = closed(second);
    second.close(1000);
    return {
      extensions: ws.extensions,
      textEchoed: textBack === text,
      binaryEchoed: binaryBack.length === binary.length && binaryBack.every((b, i) => b === binary[i]),
      serverClose: await serverClose,
      clientClose: await clientClose,
    };
  }, url));
} catch (error) {
  result = { error: String(error) };
}
console.log(JSON.stringify(result));
