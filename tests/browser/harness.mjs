// Shared by the browser scripts: checks that count and print one line each,
// a click that waits for the page it loads, and the run of a script's steps
// in Debian's Chromium, started headless as this machine allows (no sandbox
// as root, no background connections to a network it cannot reach).
import { chromium } from 'playwright-core';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

let passed = 0;
let failed = 0;

export function check(what, actual, expected) {
  if (actual === expected) {
    passed++;
    console.log(`ok - ${what}`);
  } else {
    failed++;
    console.log(`not ok - ${what}: got ${JSON.stringify(actual)}, expected ${JSON.stringify(expected)}`);
  }
}

// Submits by clicking and waits for the page that the click loads.
export async function clickAndLoad(page, selector, options = {}) {
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click(selector, options)]);
}

// Runs steps(page) in a fresh browser with a profile of its own, which
// answers the web server's HTTP basic auth with the user and password in
// VELMOX_BROWSER_USER and VELMOX_BROWSER_PASSWORD (as a browser does once
// its user has signed in); an exception counts as a failed check and shows
// the page it happened on.
// Prints the closing "N passed, M failed" line and exits 0 when every check
// passed.
export async function runInBrowser(viewport, steps) {
  const profile = mkdtempSync(join(tmpdir(), 'velmox-chromium-'));
  let context;
  let page;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      timeout: 60000,
      args: [
        '--headless',
        '--no-sandbox',
        '--disable-gpu',
        '--disable-quic',
        '--no-first-run',
        '--disable-background-networking',
        '--disable-component-update',
        '--disable-sync',
      ],
      viewport,
      httpCredentials: process.env.VELMOX_BROWSER_USER
        ? { username: process.env.VELMOX_BROWSER_USER, password: process.env.VELMOX_BROWSER_PASSWORD ?? '' }
        : undefined,
    });
    page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(20000);
    page.setDefaultNavigationTimeout(30000);
    await steps(page);
  } catch (error) {
    failed++;
    console.log(`not ok - ${error.stack || error}`);
    if (page) {
      const shown = await page.content().catch(() => '(no content)');
      console.log(`# at ${page.url()}:\n${shown.slice(0, 2000)}`);
    }
  } finally {
    if (context) await context.close().catch(() => {});
    rmSync(profile, { recursive: true, force: true });
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 && passed > 0 ? 0 : 1);
}
