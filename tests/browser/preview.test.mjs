// The preview page in headless Chromium: qlhost (TESSARO_QLHOST) writes the pages of archives
// made here with tar, and the tests use them as a reader would: folding, the configuration
// panel, the links to the application, and archives, folders and presets that carry script.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

let chromium;
try {
  ({ chromium } = await import('playwright-core'));
} catch (error) {
  throw new Error(`playwright-core is missing from tests/browser (scripts/install-deps installs it): ${error.message}`);
}

const qlhost = process.env.TESSARO_QLHOST;
const chromiumPath = process.env.TESSARO_CHROMIUM || '/usr/bin/chromium';

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessaro-browser-'));
let browser;

function xmlText(text) {
  return text.replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

// A home of its own for every page, so that no preference of the machine's user reaches it.
// `display` goes to the configuration application's domain, `presets` to the application's.
function makeHome(name, { display = {}, presets } = {}) {
  const home = path.join(work, 'home-' + name);
  const preferences = path.join(home, 'config', 'tessaro', 'preferences');
  fs.mkdirSync(preferences, { recursive: true });
  const plist = (body) =>
    '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n' + body + '</dict>\n</plist>\n';
  const displayEntries = Object.entries(display)
    .map(([key, value]) =>
      typeof value === 'boolean' ? `<key>${key}</key><${value}/>\n` : `<key>${key}</key><integer>${value}</integer>\n`)
    .join('');
  fs.writeFileSync(path.join(preferences, 'app.tessaro.TessaroQLConfig.plist'), plist(displayEntries));
  if (presets) {
    const entries = presets.map((preset) => `<dict><key>name</key><string>${xmlText(preset)}</string></dict>\n`);
    fs.writeFileSync(path.join(preferences, 'app.tessaro.Tessaro.plist'),
                     plist('<key>HLVExtractPresets</key>\n<array>\n' + entries.join('') + '</array>\n'));
  }
  return home;
}

// Writes the files of `tree` (relative path to content) under `root`.
function writeTree(root, tree) {
  for (const [relative, content] of Object.entries(tree)) {
    const file = path.join(root, relative);
    fs.mkdirSync(path.dirname(file), { recursive: true });
    fs.writeFileSync(file, content);
  }
}

// tar.gz of the tree, made in `folder`; returns the archive's path.
function makeArchive(folder, name, tree) {
  const source = fs.mkdtempSync(path.join(work, 'tree-'));
  writeTree(source, tree);
  fs.mkdirSync(folder, { recursive: true });
  const archive = path.join(folder, name);
  const tops = [...new Set(Object.keys(tree).map((relative) => relative.split('/')[0]))];
  execFileSync('tar', ['--sort=name', '-C', source, '-czf', archive, '--', ...tops]);
  return archive;
}

function previewPage(archive, home) {
  assert.ok(qlhost, 'TESSARO_QLHOST names the qlhost to test');
  const page = path.join(work, `page-${path.basename(home)}.html`);
  execFileSync(qlhost, ['-o', page, '--', archive], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, 'config'), XDG_STATE_HOME: path.join(home, 'state'),
           LANG: 'C.UTF-8', LC_ALL: '' },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  return page;
}

// Opens the page and records what a reader would not see: console errors, uncaught exceptions,
// Content-Security-Policy violations and the tssro:// links the page opens.
async function openPage(file) {
  const page = await browser.newPage();
  const seen = { errors: [], links: [] };
  page.on('console', (message) => {
    if (message.type() === 'error') seen.errors.push(message.text());
  });
  page.on('pageerror', (error) => seen.errors.push(error.message));
  page.on('request', (request) => {
    if (request.url().startsWith('tssro:')) seen.links.push(request.url());
  });
  await page.addInitScript(() => {
    window.__violations = [];
    document.addEventListener('securitypolicyviolation', (event) =>
      window.__violations.push(`${event.effectiveDirective}: ${event.blockedURI} ${event.sample}`));
  });
  await page.goto('file://' + file, { waitUntil: 'load' });
  return { page, seen };
}

// Entry paths of the rows a reader sees, from their tssro://view/ARCHIVE;ENTRY links.
function visibleEntries(page) {
  return page.$$eval('#rows tr', (rows) =>
    rows
      .filter((row) => row.getClientRects().length !== 0)
      .map((row) => decodeURIComponent(row.querySelector('div.n a').getAttribute('href').split(';').pop()))
      .map((entry) => entry.replace(/\/$/, ''))
      .sort());
}

// What the page's script signs its links with: archive, page time and token.
async function pageSignature(page, archive) {
  const [time, token] = await page.$eval('body', (body) => [body.dataset.time, body.dataset.token]);
  assert.match(time, /^[0-9]+$/);
  assert.match(token, /^[0-9a-f]{64}$/);
  return `archive=${encodeURI(archive)}&time=${time}&token=${token}`;
}

async function clickToggle(page, entry) {
  const index = await page.$$eval('#rows tr', (rows, wanted) => rows.findIndex((row) =>
    decodeURIComponent(row.querySelector('div.n a').getAttribute('href').split(';').pop()).replace(/\/$/, '') === wanted),
    entry);
  assert.notEqual(index, -1, `no row for ${entry}`);
  await page.locator('#rows tr').nth(index).locator('button.open').click();
}

before(async () => {
  browser = await chromium.launchPersistentContext(fs.mkdtempSync(path.join(work, 'profile-')), {
    executablePath: chromiumPath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  await browser?.close();
  fs.rmSync(work, { recursive: true, force: true });
});

describe('the page of an archive', () => {
  const tree = {
    'proj/README.md': 'read me\n',
    'proj/._README.md': 'metadata',
    'proj/.DS_Store': 'Bud1',
    'proj/src/main.c': 'int main(void) { return 0; }\n',
    'proj/src/lib/util.c': 'int util;\n',
    'proj/docs/guide.txt': 'guide\n',
    'proj/Tool.app/Contents/Info.plist': '<plist/>\n',
    '__MACOSX/proj/._README.md': 'metadata',
    'top.txt': 'top\n',
  };
  const atLoad = ['proj', 'proj/README.md', 'proj/Tool.app', 'proj/docs', 'proj/src', 'top.txt'];
  let file;
  let archive;

  before(() => {
    archive = makeArchive(path.join(work, 'plain'), 'project.tar.gz', tree);
    const home = makeHome('plain', {
      display: { simpleThreshold: 5000, cutoffCount: 2000, keepHeaderFixed: true, showHiddenFiles: false,
                 showPackageContents: false, cD: true, cS: true, cP: true, cK: true, cA: true },
      presets: ['Here', 'Into Downloads'],
    });
    file = previewPage(archive, home);
  });

  test('loads with its scripts running, no console error and no policy violation', async () => {
    const { page, seen } = await openPage(file);
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    assert.equal(await page.evaluate(() => document.documentElement.classList.contains('fixed')), true);
    assert.equal(await page.locator('#top h1').textContent(), 'project.tar.gz');
    // Folders below the first level start folded; hidden items and package contents are out of view.
    assert.deepEqual(await visibleEntries(page), atLoad);
    await page.close();
  });

  test('folding hides and shows a folder\'s descendants and keeps inner folders as they were', async () => {
    const { page, seen } = await openPage(file);
    await clickToggle(page, 'proj');
    assert.deepEqual(await visibleEntries(page), ['proj', 'top.txt']);
    await clickToggle(page, 'proj');
    assert.deepEqual(await visibleEntries(page), atLoad);

    await clickToggle(page, 'proj/src');
    await clickToggle(page, 'proj/src/lib');
    const srcOpen = [...atLoad, 'proj/src/lib', 'proj/src/lib/util.c', 'proj/src/main.c'].sort();
    assert.deepEqual(await visibleEntries(page), srcOpen);
    await clickToggle(page, 'proj/src');
    assert.deepEqual(await visibleEntries(page), atLoad);
    assert.deepEqual(seen.errors, []);
    await page.close();
  });

  test('the panel\'s switches apply at once and "Save as Default" carries them', async () => {
    const { page, seen } = await openPage(file);
    const shownCells = (selector) =>
      page.$$eval(selector, (cells) => cells.filter((cell) => cell.getClientRects().length !== 0).length);
    await page.click('#config-button');
    assert.ok(await shownCells('td.cK') > 0);

    await page.uncheck('input[data-key=cK]');
    assert.equal(await shownCells('.cK'), 0);
    assert.ok(await shownCells('td.cD') > 0);

    await page.check('input[data-key=showHiddenFiles]');
    assert.deepEqual(await visibleEntries(page),
                     [...atLoad, '__MACOSX', '__MACOSX/proj', 'proj/.DS_Store', 'proj/._README.md'].sort());

    // A package's contents stay out of view, even opened, until they are to be shown.
    await page.evaluate(() => tggl(document.querySelector('#rows tr.p button.open')));
    assert.ok(!(await visibleEntries(page)).includes('proj/Tool.app/Contents'));
    await page.check('input[data-key=showPackageContents]');
    assert.ok((await visibleEntries(page)).includes('proj/Tool.app/Contents'));

    const headPosition = () => page.$eval('#table thead th', (th) => getComputedStyle(th).position);
    assert.equal(await headPosition(), 'sticky');
    await page.uncheck('input[data-key=keepHeaderFixed]');
    assert.equal(await headPosition(), 'static');

    const expected = 'tssro://config?keepHeaderFixed=0&showHiddenFiles=1&showPackageContents=1&cD=1&cS=1&cP=1&cK=0&cA=1&' +
                     await pageSignature(page, archive);
    assert.equal(await page.getAttribute('#save-defaults', 'href'), expected);
    await page.click('#save-defaults');
    await page.waitForTimeout(100);
    assert.deepEqual(seen.links, [expected]);
    assert.deepEqual(seen.errors, []);
    await page.close();
  });

  test('choosing a preset asks the application to extract the archive with it', async () => {
    const { page, seen } = await openPage(file);
    assert.equal(await page.isDisabled('#presets'), false);
    await page.selectOption('#presets', { label: 'Into Downloads' });
    await page.waitForTimeout(100);
    assert.deepEqual(seen.links, [`tssro://extract?preset=Into%20Downloads&${await pageSignature(page, archive)}`]);
    assert.equal(await page.$eval('#presets', (menu) => menu.selectedIndex), 0);
    await page.close();
  });

  test('an empty archive shows an empty table and no placeholder', async () => {
    const empty = path.join(work, 'empty', 'empty.tar');
    fs.mkdirSync(path.dirname(empty));
    execFileSync('tar', ['-cf', empty, '--files-from', '/dev/null']);
    const { page, seen } = await openPage(previewPage(empty, makeHome('empty', { presets: [] })));
    assert.deepEqual(seen.errors, []);
    assert.equal(await page.locator('#rows tr').count(), 0);
    assert.ok(!(await page.locator('body').innerText()).includes('%table_data%'));
    // No presets: the menu has nothing to offer.
    assert.equal(await page.isDisabled('#presets'), true);
    await page.close();
  });
});

describe('script in names, folders and presets', () => {
  test('never runs, and the folder path navigates nowhere', async () => {
    // Entry and preset names are escaped, and the folder path is kept as text. The archive's own
    // name spells a placeholder: the page is filled in one pass, so the folder path (a refresh
    // tag among its names) never reaches the title or the heading.
    const folder = path.join(work, 'x<img src=x onerror=window.__pwned=1>', '<svg onload=window.__pwned=2>',
                             '<meta http-equiv="refresh" content="0;url=tssro:config?cD=0">',
                             '<meta http-equiv="refresh" content="0;url=http://127.0.0.1:1/">',
                             '<script>window.__pwned=3<', 'script>');
    const archive = makeArchive(folder, '%path%.tar.gz', {
      'a<img src=x onerror=window.__pwned=4>.txt': 'x',
      '<script>window.__pwned=5</script>': 'x',
      "q'\"><img src=x onerror=window.__pwned=6>/inside.txt": 'x',
      '%tessaroql.js%': 'x',
    });
    const presets = ['<img src=x onerror=window.__pwned=7>', '</option></select><script>window.__pwned=8</script>',
                     '</option></select><img src=x onerror=window.__pwned=9>'];
    const home = makeHome('evil', { display: { simpleThreshold: 5000, cutoffCount: 2000, cD: true }, presets });
    const { page, seen } = await openPage(previewPage(archive, home));
    const address = page.url();
    await page.waitForTimeout(1200);

    assert.equal(page.url(), address);
    assert.equal(await page.title(), '%path%.tar.gz');
    assert.equal(await page.locator('h1').textContent(), '%path%.tar.gz');
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    assert.deepEqual(seen.links, []);
    assert.equal(await page.locator('#folder').textContent(), folder);
    assert.equal(await page.locator('img[src=x]').count(), 0);
    const offered = await page.$$eval('#presets option', (options) => options.map((option) => option.textContent));
    for (const preset of presets) assert.ok(offered.includes(preset), `${preset} is not offered as text`);
    // Entry names are text, and the page's own scripts still work.
    const entries = await visibleEntries(page);
    for (const name of ['a<img src=x onerror=window.__pwned=4>.txt', '<script>window.__pwned=5<', '%tessaroql.js%']) {
      assert.ok(entries.includes(name), `${name} is not listed`);
    }
    await clickToggle(page, "q'\"><img src=x onerror=window.__pwned=6>");
    assert.ok(!(await visibleEntries(page)).includes("q'\"><img src=x onerror=window.__pwned=6>/inside.txt"));
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    await page.close();
  });
});

// ---- The listing's filter and sorting, and other readings of names that were not UTF-8.

// Entry paths of the rows in view, in the order the table shows them.
function entriesInOrder(page) {
  return page.$$eval('#rows tr', (rows) =>
    rows
      .filter((row) => row.getClientRects().length !== 0)
      .map((row) => decodeURIComponent(row.querySelector('div.n a').getAttribute('href').split(';').pop()))
      .map((entry) => entry.replace(/\/$/, '')));
}

// The names shown in the rows, in table order.
function shownNames(page) {
  return page.$$eval('#rows tr div.n a', (links) => links.map((link) => link.textContent));
}

async function typeFilter(page, text) {
  await page.fill('#filter', '');
  await page.type('#filter', text);
}

// tar.gz of `entries` ([path, content or null for a folder, year of the modification date]) in
// exactly the order given, which is not the order of the names.
function makeArchiveInOrder(folder, name, entries) {
  const source = fs.mkdtempSync(path.join(work, 'tree-'));
  for (const [relative, content] of entries) {
    const file = path.join(source, relative);
    if (content === null) fs.mkdirSync(file, { recursive: true });
    else {
      fs.mkdirSync(path.dirname(file), { recursive: true });
      fs.writeFileSync(file, content);
    }
  }
  for (const [relative, , year] of [...entries].reverse()) {
    const date = new Date(Date.UTC(year, 5, 1));
    fs.utimesSync(path.join(source, relative), date, date);
  }
  fs.mkdirSync(folder, { recursive: true });
  const archive = path.join(folder, name);
  execFileSync('tar', ['-C', source, '-czf', archive, '--no-recursion', '--', ...entries.map(([relative]) => relative)]);
  return archive;
}

describe('filter and sorting of the listing', () => {
  const entries = [
    ['zeta', null, 2020],
    ['zeta/b-big.txt', 'b'.repeat(3000), 2021],
    ['zeta/a-small.txt', 'a'.repeat(10), 2023],
    ['zeta/c-mid.log', 'c'.repeat(500), 2019],
    ['zeta/._needle', 'metadata', 2020],
    ['alpha.txt', 'x'.repeat(100), 2022],
    ['beta', null, 2020],
    ['beta/zeta-note.txt', 'n', 2020],
    ['beta/deep', null, 2020],
    ['beta/deep/needle.txt', 'n', 2020],
  ];
  const archiveOrder = ['zeta', 'zeta/b-big.txt', 'zeta/a-small.txt', 'zeta/c-mid.log', 'alpha.txt', 'beta',
                        'beta/zeta-note.txt', 'beta/deep'];
  let file;

  before(() => {
    const archive = makeArchiveInOrder(path.join(work, 'tools'), 'tools.tar.gz', entries);
    const home = makeHome('tools', {
      display: { simpleThreshold: 5000, cutoffCount: 2000, keepHeaderFixed: true, cD: true, cS: true, cP: true },
    });
    file = previewPage(archive, home);
  });

  test('typing narrows the rows to matches and their folders, Escape brings every row back', async () => {
    const { page, seen } = await openPage(file);
    assert.deepEqual(await entriesInOrder(page), archiveOrder);

    // A folder that matches stays, without its contents; a folder holding a match stays too.
    await typeFilter(page, 'ZETA');
    assert.deepEqual(await entriesInOrder(page), ['zeta', 'beta', 'beta/zeta-note.txt']);
    // Folded folders on the way to a match open; a hidden item keeps neither itself nor its folder.
    await typeFilter(page, 'needle');
    assert.deepEqual(await entriesInOrder(page), ['beta', 'beta/deep', 'beta/deep/needle.txt']);
    await typeFilter(page, 'no such name');
    assert.deepEqual(await entriesInOrder(page), []);
    assert.equal(await page.$eval('#filter', (field) => field.classList.contains('none')), true);

    // Shown, the hidden item matches and keeps its folder.
    await typeFilter(page, 'needle');
    await page.click('#config-button');
    await page.check('input[data-key=showHiddenFiles]');
    assert.deepEqual(await entriesInOrder(page),
                     ['zeta', 'zeta/._needle', 'beta', 'beta/deep', 'beta/deep/needle.txt']);
    await page.uncheck('input[data-key=showHiddenFiles]');

    // A toggle still folds while the filter is on.
    await clickToggle(page, 'beta/deep');
    assert.deepEqual(await entriesInOrder(page), ['beta', 'beta/deep']);

    await page.press('#filter', 'Escape');
    assert.equal(await page.inputValue('#filter'), '');
    assert.equal(await page.$eval('#filter', (field) => field.classList.contains('none')), false);
    // The folders are folded as they were before the filter.
    assert.deepEqual(await entriesInOrder(page), archiveOrder);
    assert.deepEqual(seen.errors, []);
    await page.close();
  });

  test('a column title sorts within each folder, then reverses, then brings back the archive order', async () => {
    const { page, seen } = await openPage(file);
    const zetaChildren = async () => (await entriesInOrder(page)).filter((entry) => entry.startsWith('zeta/'));

    await page.click('#table th.cS');
    assert.deepEqual(await zetaChildren(), ['zeta/a-small.txt', 'zeta/c-mid.log', 'zeta/b-big.txt']);
    assert.equal(await page.getAttribute('#table th.cS', 'aria-sort'), 'ascending');
    // Folders keep their contents under them: the order is per folder, never across folders.
    assert.deepEqual((await entriesInOrder(page)).filter((entry) => !entry.includes('/')), ['beta', 'alpha.txt', 'zeta']);
    assert.deepEqual((await entriesInOrder(page)).slice(0, 3), ['beta', 'beta/zeta-note.txt', 'beta/deep']);

    await page.click('#table th.cS');
    assert.deepEqual(await zetaChildren(), ['zeta/b-big.txt', 'zeta/c-mid.log', 'zeta/a-small.txt']);
    assert.equal(await page.getAttribute('#table th.cS', 'aria-sort'), 'descending');

    await page.click('#table th.cS');
    assert.deepEqual(await entriesInOrder(page), archiveOrder);
    assert.equal(await page.getAttribute('#table th.cS', 'aria-sort'), null);

    // By date, from the keyboard; by name, ignoring the fold toggle.
    await page.focus('#table th.cD');
    await page.keyboard.press('Enter');
    assert.deepEqual(await zetaChildren(), ['zeta/c-mid.log', 'zeta/b-big.txt', 'zeta/a-small.txt']);
    await page.click('#table th.cN');
    assert.deepEqual(await entriesInOrder(page), ['alpha.txt', 'beta', 'beta/deep', 'beta/zeta-note.txt', 'zeta',
                                                  'zeta/a-small.txt', 'zeta/b-big.txt', 'zeta/c-mid.log']);

    // Sorted rows still fold, and filter.
    await clickToggle(page, 'zeta');
    assert.ok(!(await entriesInOrder(page)).includes('zeta/a-small.txt'));
    await clickToggle(page, 'zeta');
    await typeFilter(page, '.txt');
    assert.deepEqual(await entriesInOrder(page), ['alpha.txt', 'beta', 'beta/deep', 'beta/deep/needle.txt',
                                                  'beta/zeta-note.txt', 'zeta', 'zeta/a-small.txt', 'zeta/b-big.txt']);
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    await page.close();
  });

  test('a listing of plain UTF-8 names offers no other reading', async () => {
    const { page } = await openPage(file);
    assert.equal(await page.isVisible('#name-encoding'), false);
    await page.close();
  });
});

describe('names that were not UTF-8', () => {
  // The bytes of "Привет.txt" and the folder "Документы" in CP866, "日本語.txt" in CP932, and a
  // name with markup in it; Info-ZIP stores them as they are, without the UTF-8 flag.
  const names = String.raw`
mkdir "$(printf '\204\256\252\343\254\245\255\342\353')"
printf 1 > "$(printf '\204\256\252\343\254\245\255\342\353')/$(printf '\217\340\250\242\245\342').txt"
printf 2 > "$(printf '\223\372\226\173\214\352').txt"
printf 3 > "$(printf '<img src=x onerror=window.__pwned=1>\217').txt"
zip -q -r ../legacy.zip .
`;
  let file;

  before(() => {
    const folder = path.join(work, 'legacy', 'tree');
    fs.mkdirSync(folder, { recursive: true });
    execFileSync('sh', ['-c', names], { cwd: folder });
    const archive = path.join(work, 'legacy', 'legacy.zip');
    // Every entry's general-purpose flags (central directory, offset 8) lack the UTF-8 bit.
    const bytes = fs.readFileSync(archive);
    let headers = 0;
    for (let at = bytes.indexOf('PK\x01\x02', 0, 'latin1'); at !== -1; at = bytes.indexOf('PK\x01\x02', at + 4, 'latin1')) {
      assert.equal(bytes.readUInt16LE(at + 8) & 0x0800, 0);
      ++headers;
    }
    assert.equal(headers, 4);
    assert.match(execFileSync('zipinfo', ['-1', archive], { encoding: 'latin1' }), /\x93\xfa\x96\x7b\x8c\xea\.txt/);
    file = previewPage(archive, makeHome('legacy', { display: { simpleThreshold: 5000, cutoffCount: 2000 } }));
  });

  test('the page says they were read as CP437 and switches to the likelier readings', async () => {
    const { page, seen } = await openPage(file);
    assert.equal(await page.isVisible('#name-encoding'), true);
    assert.equal(await page.textContent('#name-encoding .label'), 'Names that are not UTF-8 are read as');
    assert.equal(await page.inputValue('#name-encoding-choice'), 'CP437');
    const offered = await page.$$eval('#name-encoding-choice option', (options) => options.map((option) => option.value));
    assert.equal(offered[0], 'CP437');
    assert.ok(offered.length === 3 || offered.length === 4, offered.join());
    assert.ok(offered.includes('CP866') && offered.includes('CP932'), offered.join());
    const before = await shownNames(page);
    assert.ok(before.includes('\u00c5\u03b1\u00bf\u00f3\u00d1\u0393.txt'), before.join());  // CP437 of "Привет"
    const links = await page.$$eval('#rows a', (all) => all.map((link) => link.href));

    await page.selectOption('#name-encoding-choice', 'CP866');
    let shown = await shownNames(page);
    assert.ok(shown.includes('Документы') && shown.includes('Привет.txt'), shown.join());
    await typeFilter(page, 'привет');
    assert.deepEqual((await page.$$eval('#rows tr', (rows) => rows.filter((row) => row.getClientRects().length !== 0)
      .map((row) => row.querySelector('div.n a').textContent))), ['Документы', 'Привет.txt']);
    await page.press('#filter', 'Escape');

    await page.selectOption('#name-encoding-choice', 'CP932');
    shown = await shownNames(page);
    assert.ok(shown.includes('日本語.txt'), shown.join());
    // The markup in a name stays text in every reading, and the links keep the path they had.
    assert.ok(shown.some((name) => name.startsWith('<img src=x onerror=window.__pwned=1>')), shown.join());
    assert.deepEqual(await page.$$eval('#rows a', (all) => all.map((link) => link.href)), links);
    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    assert.equal(await page.locator('img[src=x]').count(), 0);
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    await page.close();
  });
});

// ---- The archive report in the header: extraction verdict, volume sets, facts and warnings.

describe('the archive report in the header', () => {
  const folder = path.join(work, 'report');
  const home = () => makeHome('report-' + Math.random().toString(36).slice(2),
                              { display: { simpleThreshold: 5000, cutoffCount: 2000 } });

  // Opens the page of `archive` and returns it with the texts of the report's rows.
  async function report(archive) {
    const { page, seen } = await openPage(previewPage(archive, home()));
    const text = (id) => page.$eval('#' + id, (element) => element.textContent).catch(() => null);
    return { page, seen, verdict: await text('verdict'), volumes: await text('volumes'),
             facts: await text('archive-facts'), safety: await text('safety'), comment: await text('comment') };
  }

  before(() => {
    fs.mkdirSync(path.join(folder, 'set'), { recursive: true });
    fs.writeFileSync(path.join(folder, 'set', 'data.bin'), Buffer.from(Array.from({ length: 150000 }, () => Math.floor(Math.random() * 256))));
    execFileSync('rar', ['a', '-idq', '-m0', '-v40k', 'r.rar', 'set'], { cwd: folder });
    execFileSync('7zz', ['a', '-bd', '-mx0', '-v40k', 's.7z', 'set'], { cwd: folder, stdio: 'ignore' });
    for (const gone of ['r.part2.rar', 'r.part4.rar', 's.7z.002', 's.7z.004']) fs.rmSync(path.join(folder, gone));
    makeArchive(folder, 'one.tar.gz', { 'pkg/a.txt': 'a', 'pkg/b/c.txt': 'c' });
    makeArchive(folder, 'bomb.tar.gz', { 'a.txt': 'a', 'b.txt': 'b', 'c.txt': 'c', 'd/e.txt': 'e' });
    execFileSync('python3', ['-c', `
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('evil.zip', 'w') as z:
    z.writestr('../x', 'up')
    z.writestr('/etc/x', 'abs')
    z.writestr('top/dup.txt', 'one')
    z.writestr('top/dup.txt', 'two')
    i = zipfile.ZipInfo('top/out')
    i.create_system = 3
    i.external_attr = 0o120777 << 16
    z.writestr(i, '../../etc/passwd')
    z.comment = b'<img src=x onerror=alert(1)> %table_data%'
`], { cwd: folder });
  });

  test('a RAR set with a middle and the last volume gone names both and the later start', async () => {
    const { page, seen, volumes, facts } = await report(path.join(folder, 'r.part3.rar'));
    assert.match(volumes, /Present: r\.part1\.rar, r\.part3\.rar/);
    assert.match(volumes, /Missing: r\.part2\.rar, r\.part4\.rar/);
    assert.match(volumes, /The last volume is missing/);
    assert.match(volumes, /The opened file is not the first volume/);
    assert.match(facts, /Volumes: 4/);
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    await page.close();
  });

  test('a 7z split with a gap names the gap and claims nothing about the end', async () => {
    const { page, volumes } = await report(path.join(folder, 's.7z.001'));
    assert.match(volumes, /Present: s\.7z\.001, s\.7z\.003/);
    assert.match(volumes, /Missing: s\.7z\.002(?!,)/);
    assert.doesNotMatch(volumes, /last volume/);
    assert.doesNotMatch(volumes, /not the first/);
    await page.close();
  });

  test('a single folder and a tar bomb get their verdicts', async () => {
    let { page, verdict } = await report(path.join(folder, 'one.tar.gz'));
    assert.match(verdict, /^Extracts into one folder pkg, /);
    await page.close();
    ({ page, verdict } = await report(path.join(folder, 'bomb.tar.gz')));
    assert.match(verdict, /^4 loose items would land in the destination, /);
    await page.close();
  });

  test('a zip cut short says its listing is incomplete, shows what was read and judges nothing', async () => {
    const whole = fs.readFileSync(path.join(folder, 'evil.zip'));
    const cut = path.join(folder, 'cut.zip');
    fs.writeFileSync(cut, whole.subarray(0, Math.floor(whole.length * 0.6)));
    const { page, seen, verdict, safety, facts } = await report(cut);
    assert.match(await page.locator('#listing-state').textContent(), /^Listing incomplete: The file ends before the archive does/);
    assert.equal(verdict, null);
    assert.equal(safety, null);
    assert.doesNotMatch(facts, /Encryption/);
    assert.ok(await page.locator('#rows tr').count() > 0);
    assert.ok(!(await page.locator('body').innerText()).includes('%table_data%'));
    assert.deepEqual(seen.errors, []);
    await page.close();
  });

  test('a crafted zip is listed with every entry, its rows marked and counted, its comment inert', async () => {
    const { page, seen, safety, comment } = await report(path.join(folder, 'evil.zip'));
    assert.equal(safety, 'Absolute path: 1 · Parent folder reference (..): 1 · Link pointing outside the archive: 1 · ' +
                         'Duplicate path: 1');
    assert.equal(comment, '<img src=x onerror=alert(1)> %table_data%');
    assert.equal(await page.locator('#comment img').count(), 0);
    const marks = await page.$$eval('#rows span.sf', (spans) => spans.map((span) =>
      [span.closest('tr').querySelector('div.n a').textContent, span.title]).sort());
    assert.deepEqual(marks, [['dup.txt', 'Duplicate path'], ['out', 'Link pointing outside the archive'],
                             ['x', 'Absolute path'], ['x', 'Parent folder reference (..)']]);
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    await page.close();
  });
});

// ---- Reaching the listing by keyboard, names in right-to-left scripts, and a narrow window.

describe('keyboard, text direction and a narrow window', () => {
  let file;

  before(() => {
    const archive = makeArchive(path.join(work, 'access'), 'access.tar.gz', {
      'docs/guide.txt': 'guide\n',
      'docs/old/notes.txt': 'notes\n',
      '\u05de\u05e1\u05de\u05db\u05d9\u05dd/\u05e9\u05dc\u05d5\u05dd.txt': 'shalom\n',
      'readme.txt': 'read me\n',
    });
    const home = makeHome('access', {
      display: { simpleThreshold: 5000, cutoffCount: 2000, cD: true, cS: true, cP: true, cK: true, cA: true },
    });
    file = previewPage(archive, home);
  });

  // Presses Tab until the focus is on the fold toggle of `entry`'s row.
  async function tabToToggle(page, entry) {
    for (let presses = 0; presses < 40; ++presses) {
      await page.keyboard.press('Tab');
      const focused = await page.evaluate(() => {
        const element = document.activeElement;
        if (!element || !element.matches('#rows button.open')) return null;
        const link = element.closest('tr').querySelector('div.n a');
        return decodeURIComponent(link.getAttribute('href').split(';').pop()).replace(/\/$/, '');
      });
      if (focused === entry) return;
    }
    assert.fail(`Tab never reached the toggle of ${entry}`);
  }

  test('the fold toggles are buttons the keyboard reaches and works, and they tell their state', async () => {
    const { page, seen } = await openPage(file);
    const expanded = (entry) => page.$$eval('#rows tr', (rows, wanted) => {
      const row = rows.find((candidate) => decodeURIComponent(candidate.querySelector('div.n a').getAttribute('href')
        .split(';').pop()).replace(/\/$/, '') === wanted);
      return row.querySelector('button.open').getAttribute('aria-expanded');
    }, entry);
    assert.equal(await expanded('docs'), 'true');
    assert.equal(await expanded('docs/old'), 'false');
    assert.ok((await page.$$eval('#rows button.open', (toggles) => toggles.map((toggle) => toggle.getAttribute('aria-label'))))
      .every((label) => label === "Show or hide the folder's contents"));

    await tabToToggle(page, 'docs');
    await page.keyboard.press('Enter');
    assert.equal(await expanded('docs'), 'false');
    assert.ok(!(await visibleEntries(page)).includes('docs/guide.txt'));
    await page.keyboard.press(' ');
    assert.equal(await expanded('docs'), 'true');
    assert.ok((await visibleEntries(page)).includes('docs/guide.txt'));

    // The next toggle in the tab order is the inner folder's.
    await tabToToggle(page, 'docs/old');
    await page.keyboard.press('Enter');
    assert.equal(await expanded('docs/old'), 'true');
    assert.ok((await visibleEntries(page)).includes('docs/old/notes.txt'));
    assert.deepEqual(seen.errors, []);
    assert.deepEqual(await page.evaluate(() => window.__violations), []);
    await page.close();
  });

  test('every name keeps its own direction', async () => {
    const { page } = await openPage(file);
    const directions = await page.$$eval('#rows div.n a', (links) =>
      links.map((link) => [link.textContent, link.getAttribute('dir'), getComputedStyle(link).direction]));
    assert.ok(directions.every(([, dir]) => dir === 'auto'));
    assert.deepEqual(directions.find(([name]) => name === '\u05e9\u05dc\u05d5\u05dd.txt').slice(1), ['auto', 'rtl']);
    assert.deepEqual(directions.find(([name]) => name === 'readme.txt').slice(1), ['auto', 'ltr']);
    assert.equal(await page.getAttribute('#top h1', 'dir'), 'auto');
    await page.close();
  });

  // WCAG's contrast ratio for every piece of text a reader sees, in the light and the dark scheme:
  // at least 4.5:1, or 3:1 for large text.
  test('every text is readable against its background in both colour schemes', async () => {
    for (const colorScheme of ['light', 'dark']) {
      const { page } = await openPage(file);
      await page.emulateMedia({ colorScheme });
      await page.click('#config-button').catch(() => {});
      const weak = await page.evaluate(() => {
        const rgba = (text) => {
          const m = text.match(/rgba?\(([^)]+)\)/);
          const [r, g, b, a = 1] = m ? m[1].split(',').map(Number) : [0, 0, 0, 0];
          return { r, g, b, a };
        };
        const over = (top, under) => ({
          r: top.r * top.a + under.r * (1 - top.a), g: top.g * top.a + under.g * (1 - top.a),
          b: top.b * top.a + under.b * (1 - top.a), a: 1 });
        const background = (element) => {
          const layers = [];
          for (let at = element; at; at = at.parentElement) {
            const colour = rgba(getComputedStyle(at).backgroundColor);
            if (colour.a > 0) layers.push(colour);
            if (colour.a === 1) break;
          }
          let result = { r: 255, g: 255, b: 255, a: 1 };
          for (const layer of layers.reverse()) result = over(layer, result);
          return result;
        };
        const luminance = ({ r, g, b }) => {
          const channel = (v) => { v /= 255; return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4; };
          return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b);
        };
        const found = [];
        for (const element of document.querySelectorAll('body *')) {
          const own = [...element.childNodes].some((node) => node.nodeType === 3 && node.textContent.trim());
          if (!own || element.getClientRects().length === 0) continue;
          const style = getComputedStyle(element);
          if (style.visibility === 'hidden' || Number(style.opacity) === 0) continue;
          const back = background(element);
          const fore = over(rgba(style.color), back);
          const [light, dark] = [luminance(fore), luminance(back)].sort((x, y) => y - x);
          const ratio = (light + 0.05) / (dark + 0.05);
          const size = parseFloat(style.fontSize);
          const large = size >= 24 || (size >= 18.66 && Number(style.fontWeight) >= 700);
          if (ratio < (large ? 3 : 4.5)) {
            found.push(`${element.tagName.toLowerCase()}.${element.className} "${element.textContent.trim().slice(0, 20)}" ${ratio.toFixed(2)}`);
          }
        }
        return found;
      });
      assert.deepEqual(weak, [], `${colorScheme} scheme`);
      await page.close();
    }
  });

  test('500 pixels wide, every column title is whole or deliberately hidden', async () => {
    const { page } = await openPage(file);
    await page.setViewportSize({ width: 500, height: 640 });
    const titles = await page.$$eval('#table thead th', (cells) => cells.map((cell) => ({
      name: cell.className.split(' ')[0],
      hidden: getComputedStyle(cell).display === 'none',
      cut: cell.scrollWidth > cell.clientWidth,
      right: cell.getBoundingClientRect().right,
    })));
    const shown = titles.filter((title) => !title.hidden);
    assert.deepEqual(shown.map((title) => title.name), ['cN', 'cD', 'cS']);
    for (const title of shown) {
      assert.equal(title.cut, false, `${title.name} is cut off`);
      assert.ok(title.right <= 500, `${title.name} ends outside the window`);
    }
    await page.mouse.move(0, 0);
    const picture = path.join(work, 'preview-narrow.png');
    await page.screenshot({ path: picture });
    // TESSARO_UPDATE_SCREENSHOTS=1 puts the picture into docs/ for the README.
    if (process.env.TESSARO_UPDATE_SCREENSHOTS) {
      fs.copyFileSync(picture, new URL('../../docs/preview-narrow.png', import.meta.url));
    }
    await page.close();
  });
});
