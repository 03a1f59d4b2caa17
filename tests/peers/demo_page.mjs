// Opens the demo's test page in headless Chromium, loads every tile and both
// test images into it, checks how they came, and reloads the page 20 times.
//   node demo_page.mjs URL PROTOCOL      e.g. https://127.0.0.1:5450/ h2
// Exits 0 when everything held, 1 with the reasons otherwise.
import { withChromiumPage } from './chromium.mjs';

const [url, protocol] = process.argv.slice(2);
const failures = [];
const check = (ok, what) => { if (!ok) failures.push(what); };

try {
  await withChromiumPage(async (page) => {
    page.setDefaultTimeout(30000);
    const failedRequests = [];
    page.on('requestfailed', (request) => failedRequests.push(`${request.url()}: ${request.failure()?.errorText}`));

    const answer = await page.goto(url);
    check(answer?.status() === 200, `page status ${answer?.status()}`);
    check((await page.textContent('body'))?.includes('HTTP/2 Test Page.'), 'page text');

    const images = await page.evaluate(async () => {
      const sources = [];
      for (let y = 0; y < 10; ++y)
        for (let x = 0; x < 15; ++x)
          sources.push(`/gophertiles?x=${x}&y=${y}`);
      sources.push('/demo/img/http_test/gopher.jpg', '/demo/img/http_test/gopher_small.jpg');
      const loaded = sources.map((source) => new Promise((resolve) => {
        const image = document.createElement('img');
        image.onload = () => resolve({ source, width: image.naturalWidth });
        image.onerror = () => resolve({ source, width: -1 });
        image.src = source;
        document.body.appendChild(image);
      }));
      return Promise.all(loaded);
    });
    const tiles = images.filter((image) => image.source.startsWith('/gophertiles'));
    check(tiles.length === 150 && tiles.every((tile) => tile.width === 32),
          `tiles: ${tiles.filter((tile) => tile.width !== 32).map((tile) => tile.source).join(' ')}`);
    check(images.filter((image) => image.source.includes('/http_test/') && image.width > 0).length === 2, 'test images');

    const protocols = await page.evaluate(() => [
      performance.getEntriesByType('navigation')[0].nextHopProtocol,
      ...performance.getEntriesByType('resource').map((entry) => entry.nextHopProtocol),
    ]);
    const others = protocols.filter((p) => p !== protocol);
    check(protocols.length >= 153 && others.length === 0,
          `${protocols.length} entries, not over ${protocol}: ${[...new Set(others)].join(' ')}`);

    for (let i = 0; i < 20; ++i) {
      const again = await page.reload();
      check(again?.status() === 200, `reload ${i} status ${again?.status()}`);
    }
    check(failedRequests.length === 0, `failed requests: ${failedRequests.join('; ')}`);
  }, { tls: true });
} catch (error) {
  failures.push(String(error));
}
if (failures.length) {
  console.error(failures.join('\n'));
  process.exit(1);
}
console.log('ok');
