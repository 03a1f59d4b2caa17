// Headless Chromium for the browser tests: runs `work` with the first page of a
// fresh profile and always closes the browser and removes the profile after it.
//   await withChromiumPage(async (page) => ..., { tls: true })
// With `tls` the page accepts the test certificate and speaks TCP only (no QUIC).
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from './node/node_modules/playwright-core/index.mjs';

export async function withChromiumPage(work, { tls = false } = {}) {
  const profile = mkdtempSync(join(tmpdir(), 'zal-chromium-'));
  const tlsArgs = tls ? ['--disable-quic', '--ignore-certificate-errors'] : [];
  const browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    ignoreHTTPSErrors: tls,
    timeout: 30000,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', ...tlsArgs],
  });
  try {
    return await work(browser.pages()[0] ?? await browser.newPage());
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
}
