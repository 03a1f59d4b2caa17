// Headless Chromium opens the component's built-in test page, which loads the
// built-in client script, connects back to the server and sends its text; the
// echo must come back.
//   node resource_page.mjs URL
// Prints one JSON line with what the page saw.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from './node/node_modules/playwright-core/index.mjs';

const [url] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'zal-chromium-'));
const browser = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  timeout: 30000,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
let result;
try {
  const page = browser.pages()[0] ?? await browser.newPage();
  page.setDefaultTimeout(15000);
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById('state').textContent === 'open');
  await page.click('#send');
  await page.waitForFunction(() => document.getElementById('log').textContent.includes('received: '));
  result = { log: await page.textContent('#log') };
} catch (error) {
  result = { error: String(error) };
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
console.log(JSON.stringify(result));
