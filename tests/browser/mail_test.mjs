// Walks the sample server's web mail in Debian's Chromium, as a newcomer
// would: the folder, Write, Save, a quick search, the advanced search, the
// message opened from the results, an edit, a click on the folder picture
// and the folder list; then a page of another site (evil.example) makes the
// signed-in browser post forms to Save, with its Referer, without one, and
// with another user's token, and nothing is saved. A screenshot of every
// step goes to SCREENSHOT_DIR.
//
//   node mail_test.mjs http://127.0.0.1:PORT SCREENSHOT_DIR [OTHER_TOKEN]
//
// OTHER_TOKEN: the token of another user's forms (bob's).
// The web server and the server task (with an empty mail store) must already
// run. Exits 0 when every check passed; prints one line per check and a
// closing "N passed, M failed" line.
import { check, clickAndLoad, runInBrowser } from './harness.mjs';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';

const base = process.argv[2];
const screenshotDir = process.argv[3];
const otherToken = process.argv[4] ?? '';
if (!base || !screenshotDir) {
  console.error('usage: node mail_test.mjs BASE_URL SCREENSHOT_DIR');
  process.exit(2);
}
const script = `${base}/velmox.cgi`;
mkdirSync(screenshotDir, { recursive: true });

const title = (page) => page.locator('h1#title').textContent();

let step = 0;
async function shot(page, name) {
  step++;
  await page.screenshot({ path: join(screenshotDir, `${String(step).padStart(2, '0')}-${name}.png`), fullPage: true });
}

await runInBrowser({ width: 1000, height: 900 }, async (page) => {
  const problems = [];
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(message.text());
  });

  // The folder, empty.
  await page.goto(`${script}/Search/Local/inbox`);
  check('folder: title', await title(page), 'inbox');
  check('folder: empty', await page.locator('p#summary').textContent(), 'No messages in inbox yet.');
  await shot(page, 'empty-folder');

  // Write and save.
  await clickAndLoad(page, 'a#nav-write');
  check('write: title', await title(page), 'New message');
  const text = 'Meet at the lighthouse at noon.\nBring the charts & <maps> for the caf\u00e9.';
  await page.fill('#compose-to', 'ann@example.org');
  await page.fill('#compose-subject', 'Lighthouse visit');
  await page.fill('#compose-body', text);
  await shot(page, 'compose');
  await clickAndLoad(page, '#save-submit');
  check('save: title', await title(page), 'Saved');
  check('save: summary', /New message .Lighthouse visit. saved in inbox/.test(await page.locator('p#summary').textContent()), true);
  await shot(page, 'saved');

  // A second message, so that search and order have something to choose from.
  await clickAndLoad(page, 'a#write-another');
  await page.fill('#compose-subject', 'Charts');
  await page.fill('#compose-body', 'The new charts arrived.');
  await clickAndLoad(page, '#save-submit');
  check('second save: title', await title(page), 'Saved');

  // Quick search: word variants on by default ("lighthouses" finds "lighthouse").
  await page.fill('#quick-search input[name=SEARCH]', 'lighthouses');
  await clickAndLoad(page, '#quick-submit');
  check('quick search: title', await title(page), 'Found');
  check('quick search: one result', await page.locator('ol#results li').count(), 1);
  check('quick search: subject', await page.locator('ol#results a.subject').first().textContent(), 'Lighthouse visit');
  check('quick search: marked', await page.locator('ol#results mark').first().textContent(), 'lighthouse');
  await shot(page, 'quick-search');

  // The advanced form: without word variants "lighthouses" finds nothing.
  await clickAndLoad(page, '#quick-options');
  check('options: the form keeps the words', await page.inputValue('#search-text'), 'lighthouses');
  await page.uncheck('#search-variants');
  await shot(page, 'options');
  await clickAndLoad(page, '#search-submit');
  check('no variants: nothing found', await page.locator('ol#results li').count(), 0);
  await page.fill('#search-text', 'charts');
  await page.check('#search-variants');
  await page.selectOption('#search-order', '3');
  await clickAndLoad(page, '#search-submit');
  check('oldest first: two results', await page.locator('ol#results li').count(), 2);
  check('oldest first: the first saved first', await page.locator('ol#results a.subject').first().textContent(), 'Lighthouse visit');
  await shot(page, 'advanced-search');

  // Open the message from the results: the form holds what was saved.
  await clickAndLoad(page, 'ol#results a.subject >> nth=0');
  check('open: title', await title(page), 'Message');
  check('open: to', await page.inputValue('#compose-to'), 'ann@example.org');
  check('open: subject', await page.inputValue('#compose-subject'), 'Lighthouse visit');
  check('open: body', await page.inputValue('#compose-body'), text);
  await shot(page, 'opened');

  // Edit it: the same ident, updated.
  await page.fill('#compose-subject', 'Lighthouse visit moved');
  await clickAndLoad(page, '#save-submit');
  check('edit: title', await title(page), 'Updated');
  await clickAndLoad(page, 'a#open-message');
  check('edit: kept', await page.inputValue('#compose-subject'), 'Lighthouse visit moved');
  check('edit: body kept', await page.inputValue('#compose-body'), text);

  // The folder picture: a click on the first row opens the newest message.
  await clickAndLoad(page, 'a#nav-folder');
  check('picture: drawn', await page.locator('img#folder-map').evaluate((img) => img.complete && img.naturalWidth), 480);
  await shot(page, 'folder');
  await clickAndLoad(page, 'img#folder-map', { position: { x: 100, y: 50 } });
  check('picture: newest message', await page.inputValue('#compose-subject'), 'Charts');
  await page.goBack({ waitUntil: 'load' });
  await clickAndLoad(page, 'img#folder-map', { position: { x: 10, y: 10 } });
  check('picture: Write button', await title(page), 'New message');

  // The folders agent.
  await clickAndLoad(page, 'a#nav-folders');
  check('folders: title', await title(page), 'Folders');
  check('folders: inbox count', await page.locator('table#folders td.count').first().textContent(), '2');
  await shot(page, 'folders');

  // Another site's page posts forms to Save in this browser, which sends
  // the user's credentials along: with the browser's Referer (of that
  // site), without one, and with the token of another user's forms.
  const forms = [
    ['with its Referer', '', ''],
    ['without a Referer', '<meta name="referrer" content="no-referrer">', ''],
    ["with another user's token", '<meta name="referrer" content="no-referrer">', otherToken],
  ];
  for (const [what, head, token] of forms) {
    await page.route('http://evil.example/**', (route) =>
      route.fulfill({
        contentType: 'text/html',
        body: `<!DOCTYPE html><html><head>${head}</head><body>` +
          `<form id="forged" method="post" action="${script}/Save/Local/inbox?0">` +
          `<input type="hidden" name="token" value="${token}">` +
          '<input type="hidden" name="subject" value="Wire transfer today">' +
          '<input type="hidden" name="body" value="please pay"><button id="go">Go</button></form></body></html>',
      }));
    await page.goto('http://evil.example/prize.html');
    check(`another site (${what}): its page`, new URL(page.url()).host, 'evil.example');
    await clickAndLoad(page, '#go');
    check(`another site (${what}): refused`, await title(page), 'Not saved');
    await page.unroute('http://evil.example/**');
  }
  await shot(page, 'another-site-refused');
  await page.goto(`${script}/Search/Local/inbox`);
  await page.fill('#quick-search input[name=SEARCH]', 'transfer');
  await clickAndLoad(page, '#quick-submit');
  check('another site: nothing saved', await page.locator('ol#results li').count(), 0);
  await clickAndLoad(page, 'a#nav-folders');
  check('another site: still two messages', await page.locator('table#folders td.count').first().textContent(), '2');
  check('no errors in the console', problems.filter((p) => !/403/.test(p)).join('\n'), '');
});
