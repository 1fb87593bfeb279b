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
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, 'config'), LANG: 'C.UTF-8', LC_ALL: '' },
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

async function clickToggle(page, entry) {
  const index = await page.$$eval('#rows tr', (rows, wanted) => rows.findIndex((row) =>
    decodeURIComponent(row.querySelector('div.n a').getAttribute('href').split(';').pop()).replace(/\/$/, '') === wanted),
    entry);
  assert.notEqual(index, -1, `no row for ${entry}`);
  await page.locator('#rows tr').nth(index).locator('div.open').click();
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
    await page.evaluate(() => tggl(document.querySelector('#rows tr.p div.open')));
    assert.ok(!(await visibleEntries(page)).includes('proj/Tool.app/Contents'));
    await page.check('input[data-key=showPackageContents]');
    assert.ok((await visibleEntries(page)).includes('proj/Tool.app/Contents'));

    const headPosition = () => page.$eval('#table thead th', (th) => getComputedStyle(th).position);
    assert.equal(await headPosition(), 'sticky');
    await page.uncheck('input[data-key=keepHeaderFixed]');
    assert.equal(await headPosition(), 'static');

    const expected = 'tssro://config?keepHeaderFixed=0&showHiddenFiles=1&showPackageContents=1&cD=1&cS=1&cP=1&cK=0&cA=1';
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
    assert.deepEqual(seen.links, [`tssro://extract?preset=Into%20Downloads&archive=${encodeURI(archive)}`]);
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
  test('never runs, and the folder path opens no link', async () => {
    // Entry names are escaped, preset names go in as they are (the policy stops them), and the
    // folder path is kept as text.
    const folder = path.join(work, 'x<img src=x onerror=window.__pwned=1>', '<svg onload=window.__pwned=2>',
                             '<meta http-equiv="refresh" content="0;url=tssro:config?cD=0">',
                             '<script>window.__pwned=3<', 'script>');
    const archive = makeArchive(folder, 'evil.tar.gz', {
      'a<img src=x onerror=window.__pwned=4>.txt': 'x',
      '<script>window.__pwned=5</script>': 'x',
      "q'\"><img src=x onerror=window.__pwned=6>/inside.txt": 'x',
      '%tessaroql.js%': 'x',
    });
    const home = makeHome('evil', {
      display: { simpleThreshold: 5000, cutoffCount: 2000, cD: true },
      presets: ['<img src=x onerror=window.__pwned=7>', '</option></select><script>window.__pwned=8</script>',
                '</option></select><img src=x onerror=window.__pwned=9>'],
    });
    const { page, seen } = await openPage(previewPage(archive, home));
    await page.waitForTimeout(300);

    assert.equal(await page.evaluate(() => window.__pwned), undefined);
    assert.deepEqual(seen.links, []);
    assert.equal(await page.locator('#folder').textContent(), folder);
    // The presets' markup did reach the page, and the policy is what stopped it.
    assert.ok(await page.locator('img[src=x]').count() >= 1);
    const violations = await page.evaluate(() => window.__violations);
    assert.ok(violations.some((violation) => violation.startsWith('script-src-elem')), violations.join('\n'));
    assert.ok(violations.some((violation) => violation.startsWith('script-src-attr')), violations.join('\n'));
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
