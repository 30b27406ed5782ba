// Drives the sample server's pages through the gateway with Debian's
// Chromium: the search form, the server-side image map, the agent link and
// the Save and Compose forms, each checked on the page that comes back.
//
//   node browser_test.mjs http://127.0.0.1:PORT [SCREENSHOT_DIR]
//
// The web server and the server task must already run (the CTest wrapper
// starts them). Exits 0 when every check passed; prints one line per check
// and a closing "N passed, M failed" line.
import { check, clickAndLoad, runInBrowser } from './harness.mjs';
import { join } from 'node:path';

const base = process.argv[2];
const screenshotDir = process.argv[3];
if (!base) {
  console.error('usage: node browser_test.mjs BASE_URL [SCREENSHOT_DIR]');
  process.exit(2);
}
const script = `${base}/velmox.cgi`;

// The bytes the gateway decodes from a form body, as lower-case hex.
function hexOf(text) {
  return Buffer.from(text, 'utf8').toString('hex');
}

const cell = (page, id) => page.locator(`td#${id}`).textContent();
const heading = (page) => page.locator('h1#command').textContent();

async function shot(page, name) {
  if (screenshotDir) await page.screenshot({ path: join(screenshotDir, `${name}.png`), fullPage: true });
}

await runInBrowser({ width: 1000, height: 1400 }, async (page) => {

  // The sample page: a GET of the search command, which makes it an Options request.
  await page.goto(`${script}/Search/Local/mail`);
  check('sample page', await heading(page), 'Search');
  check('GET search kind', await cell(page, 'm_searchKind'), '3');
  await shot(page, 'start');

  // Search form, Options: the text travels, the options stay 0.
  await page.fill('#search-form input[name=SEARCH]', 'blue whales & <krill>');
  await page.selectOption('#search-form select[name=SREQUEST]', 'Options');
  await clickAndLoad(page, '#search-submit');
  check('Options: command', await heading(page), 'Search');
  check('Options: search text', await cell(page, 'm_searchText'), 'blue whales & <krill>');
  check('Options: kind', await cell(page, 'm_searchKind'), '3');
  check('Options: kind name', await cell(page, 'm_searchKindName'), 'Options');
  check('Options: max', await cell(page, 'm_max'), '0');
  check('Options: request method', await cell(page, 'cgi-REQUEST_METHOD'), 'POST');

  // Search form, Search: the form's options are replaced by the defaults.
  await page.fill('#search-form input[name=SEARCH]', 'otters');
  await page.selectOption('#search-form select[name=SREQUEST]', 'Search');
  await page.fill('#search-form input[name=MAX]', '35');
  await page.selectOption('#search-form select[name=SEARCHOPTION]', '3');
  await page.check('#search-form input[name=WORDVARIENT]');
  await clickAndLoad(page, '#search-submit');
  check('Search: search text', await cell(page, 'm_searchText'), 'otters');
  check('Search: kind', await cell(page, 'm_searchKind'), '2');
  check('Search: max is the default', await cell(page, 'm_max'), '0');
  check('Search: order is the default', await cell(page, 'm_orderOfCollection'), '1');
  check('Search: word variants is the default', await cell(page, 'm_wordVarient'), '1');

  // Search form, Quick Search: with MAX and SEARCHOPTION in the body the options stand.
  await page.selectOption('#search-form select[name=SREQUEST]', 'Quick Search');
  await page.fill('#search-form input[name=MAX]', '35');
  await page.selectOption('#search-form select[name=SEARCHOPTION]', '2');
  await clickAndLoad(page, '#search-submit');
  check('Quick Search: search text kept in the form', await cell(page, 'm_searchText'), 'otters');
  check('Quick Search: kind', await cell(page, 'm_searchKind'), '2');
  check('Quick Search: max', await cell(page, 'm_max'), '35');
  check('Quick Search: order', await cell(page, 'm_orderOfCollection'), '2');
  check('Quick Search: no word variants', await cell(page, 'm_wordVarient'), '0');
  await shot(page, 'search');

  // The server-side image map: the browser appends ?x,y of the click.
  await clickAndLoad(page, 'img#map', { position: { x: 120, y: 45 } });
  check('image map: command', await heading(page), 'ImageMap');
  check('image map: x', await cell(page, 'm_x'), '120');
  check('image map: y', await cell(page, 'm_y'), '45');
  check('image map: query', await cell(page, 'cgi-QUERY_STRING'), '120,45');
  await clickAndLoad(page, 'img#map', { position: { x: 7, y: 110 } });
  check('image map again: x', await cell(page, 'm_x'), '7');
  check('image map again: y', await cell(page, 'm_y'), '110');

  // The agent link.
  await clickAndLoad(page, 'a#runagent');
  check('agent link: command', await heading(page), 'RunAgent');
  check('agent link: query', await cell(page, 'm_query'), 'Hello+World');
  check('agent link: path', await cell(page, 'm_path'), 'agents/report');

  // Save: a text area with a line break; the browser sends CR LF, the
  // gateway keeps LF alone.
  const note = 'first line\nsecond line & <tag> caf\u00e9';
  await page.fill('textarea#save-body', note);
  await clickAndLoad(page, '#save-submit');
  check('save: command', await heading(page), 'Save');
  check('save: body', await cell(page, 'm_body'), hexOf(`Body\0${note}\0\0`));
  check('save: body length', await cell(page, 'm_bodyLen'), String(Buffer.byteLength(`Body\0${note}\0\0`)));
  check('save: form value', await page.locator('dl#form dd').first().textContent(), note);
  check('save: identifier', await cell(page, 'm_ident'), '89abcdef 01234567 00112233 44556677');
  check('save: query number', await cell(page, 'm_queryNumber'), '42');
  await shot(page, 'save');

  // Compose: the identifier comes from the form's action.
  await page.fill('#compose-form input[name=To]', 'ann@example.org');
  await page.fill('#compose-form input[name=Subject]', 'Hello');
  await page.fill('textarea#compose-body', 'Hi Ann');
  await clickAndLoad(page, '#compose-submit');
  check('compose: command', await heading(page), 'Compose');
  check('compose: identifier valid', await cell(page, 'm_identValid'), '1');
  check('compose: identifier', await cell(page, 'm_ident'), '01234567 89abcdef 00112233 44556677');
  check('compose: query number', await cell(page, 'm_queryNumber'), '31');
  check('compose: user agent is the browser', /Chrome/.test(await cell(page, 'm_userAgent')), true);
});
