// Headless Chromium opens the component's built-in test page in a window
// without WebSocket, so the built-in client falls back to server-sent events:
// each text goes out as a POST and must come back once, in order, as an event.
//   node sse_page.mjs URL TEXT...
// Prints one JSON line: the texts received, or the error.
import { withChromiumPage } from './chromium.mjs';

const [url, ...texts] = process.argv.slice(2);
let result;
try {
  result = await withChromiumPage(async (page) => {
    page.setDefaultTimeout(15000);
    await page.addInitScript(() => { delete window.WebSocket; });
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'open');
    for (const text of texts) {
      await page.fill('#text', text);
      await page.click('#send');
      await page.waitForFunction((t) => document.getElementById('log').textContent.includes('received: ' + t + '\n'),
                                 text);
    }
    await page.waitForTimeout(300);  // time for a duplicate to show
    const log = await page.textContent('#log');
    return { received: log.split('\n').filter((l) => l.startsWith('received: ')).map((l) => l.substring(10)),
             websocket: await page.evaluate(() => typeof window.WebSocket) };
  });
} catch (error) {
  result = { error: String(error) };
}
console.log(JSON.stringify(result));
