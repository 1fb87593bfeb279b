// Makes the README's pictures of the preview, docs/preview-light.png, docs/preview-dark.png,
// docs/preview-filter.png and docs/preview-report.png,
// from the sample archive of an optimised build (make build, or make preview once):
//   node tests/browser/screenshots.mjs [BUILD_DIR]      (default: build/release)
// Not a test: run it by hand after changing the page's look.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const build = path.resolve(process.argv[2] || path.join(repository, 'build', 'release'));
const qlhost = path.join(build, 'Tessaro.app', 'Contents', 'MacOS', 'qlhost');
const sample = path.join(build, 'sample', 'sample.tar.gz');

// A fixed folder, since its path shows in the pictures.
const work = path.join(os.tmpdir(), 'tessaro-screenshots');
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work);
try {
  // The archive in a folder of a plausible name, with a fixed date, previewed with the shipped
  // settings and presets only (an empty home).
  const folder = path.join(work, 'Downloads');
  fs.mkdirSync(folder);
  const archive = path.join(folder, 'tessaro-sample.tar.gz');
  fs.copyFileSync(sample, archive);
  const date = new Date('2024-05-17T10:30:00Z');
  fs.utimesSync(archive, date, date);
  const home = path.join(work, 'home');
  fs.mkdirSync(home);
  const page = path.join(work, 'preview.html');
  execFileSync(qlhost, ['-o', page, '--', archive], {
    env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, 'config'), LANG: 'C.UTF-8', LC_ALL: '',
           TZ: 'UTC' },
    stdio: ['ignore', 'ignore', 'inherit'],
  });

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
  });
  for (const scheme of ['light', 'dark']) {
    const view = await browser.newPage({ colorScheme: scheme, viewport: { width: 960, height: 540 } });
    await view.goto('file://' + page, { waitUntil: 'load' });
    // One folder opened, so that the picture shows the tree; the dark one shows the panel too.
    const src = view.locator('#rows tr', { has: view.locator('div.n a', { hasText: /^src$/ }) });
    await src.locator('button.open').click();
    if (scheme === 'dark') await view.click('#config-button');
    await view.mouse.move(0, 0);
    await view.waitForTimeout(300);
    const out = path.join(repository, 'docs', `preview-${scheme}.png`);
    await view.screenshot({ path: out });
    console.log(out);
    await view.close();
  }
  // The filter at work: the matches with the folders that hold them, sorted by size.
  const view = await browser.newPage({ colorScheme: 'light', viewport: { width: 960, height: 540 } });
  await view.goto('file://' + page, { waitUntil: 'load' });
  await view.type('#filter', '.c');
  await view.click('#table th.cS');
  await view.click('#table th.cS');
  await view.mouse.move(0, 0);
  await view.waitForTimeout(300);
  const out = path.join(repository, 'docs', 'preview-filter.png');
  await view.screenshot({ path: out });
  console.log(out);
  await view.close();
  // The archive report: a zip whose entries would land outside the destination, with the
  // header's warnings and the marks in the rows.
  {
    const folder = path.join(work, 'Downloads');
    execFileSync('python3', ['-c', `
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('suspicious.zip', 'w') as z:
    z.writestr('readme.txt', 'hello')
    z.writestr('../.bashrc', 'export X=1')
    z.writestr('/etc/cron.d/job', '* * * * * root true')
    z.writestr('data/report.csv', 'a,b')
    z.writestr('data/report.csv', 'c,d')
    i = zipfile.ZipInfo('data/passwords')
    i.create_system = 3
    i.external_attr = 0o120777 << 16
    z.writestr(i, '../../etc/shadow')
    z.writestr('data/zeros.bin', b'\\0' * 20000000, compress_type=zipfile.ZIP_DEFLATED)
    z.comment = b'Sent by a stranger'
`], { cwd: folder });
    const zip = path.join(folder, 'suspicious.zip');
    const date = new Date('2024-05-17T10:30:00Z');
    fs.utimesSync(zip, date, date);
    const reportPage = path.join(work, 'report.html');
    execFileSync(qlhost, ['-o', reportPage, '--', zip], {
      env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, 'config'), LANG: 'C.UTF-8', LC_ALL: '',
             TZ: 'UTC' },
      stdio: ['ignore', 'ignore', 'inherit'],
    });
    const shot = await browser.newPage({ colorScheme: 'light', viewport: { width: 960, height: 540 } });
    await shot.goto('file://' + reportPage, { waitUntil: 'load' });
    await shot.mouse.move(0, 0);
    await shot.waitForTimeout(300);
    const reportOut = path.join(repository, 'docs', 'preview-report.png');
    await shot.screenshot({ path: reportOut });
    console.log(reportOut);
    await shot.close();
  }
  await browser.close();
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
