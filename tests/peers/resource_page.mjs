// Headless Chromium opens the component's built-in test page, which loads the
// built-in client script, connects back to the server and sends its text; the
// echo must come back.
//   node resource_page.mjs URL
// Prints one JSON line with what the page saw.
import { withChromiumPage } from './chromium.mjs';

const [url] = process.argv.slice(2);
let result;
try {
  result = await withChromiumPage(async (page) => {
    page.setDefaultTimeout(15000);
    await page.goto(url);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'open');
    await page.click('#send');
    await page.waitForFunction(() => document.getElementById('log').textContent.includes('received: '));
    return { log: await page.textContent('#log') };
  });
} catch (error) {
  result = { error: String(error) };
}
console.log(JSON.stringify(result));
