// Makes the README's pictures of the preview, docs/preview-light.png and docs/preview-dark.png,
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
    await src.locator('div.open').click();
    if (scheme === 'dark') await view.click('#config-button');
    await view.mouse.move(0, 0);
    await view.waitForTimeout(300);
    const out = path.join(repository, 'docs', `preview-${scheme}.png`);
    await view.screenshot({ path: out });
    console.log(out);
    await view.close();
  }
  await browser.close();
} finally {
  fs.rmSync(work, { recursive: true, force: true });
}
