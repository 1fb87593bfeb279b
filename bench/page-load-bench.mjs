// Time for headless Chromium to load a preview page and reach its load event, for archives of
// 1,000, 100,000 and 1,000,000 entries (or the comma-separated ENTRIES) previewed with the
// shipped defaults, against an empty page in the same run (median of N loads each, alternating),
// printed as a Markdown table:
//   node bench/page-load-bench.mjs BUILD_DIR FIXTURE_DIR [N] [ENTRIES]
// The archives are tar.gz files of empty files, 1,000 per folder, made once into FIXTURE_DIR.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const repository = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const require = createRequire(path.join(repository, 'tests', 'browser', 'package.json'));
const { chromium } = require('playwright-core');

const [build, fixtures, runs = '5', entryList = '1000,100000,1000000'] = process.argv.slice(2);
if (!build || !fixtures) throw new Error('usage: page-load-bench.mjs BUILD_DIR FIXTURE_DIR [N] [ENTRIES]');
const qlhost = path.join(path.resolve(build), 'Tessaro.app', 'Contents', 'MacOS', 'qlhost');
fs.mkdirSync(fixtures, { recursive: true });

// The tar.gz of that many empty files that bench/make-fixtures.sh makes once into the folder.
function archiveOf(entries) {
  return execFileSync(path.join(repository, 'bench', 'make-fixtures.sh'), [fixtures, 'tar.gz', String(entries)],
                      { encoding: 'utf8' }).trim();
}

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessaro-pages-'));
const home = path.join(work, 'home');
fs.mkdirSync(home);
const pages = { empty: path.join(work, 'empty.html') };
fs.writeFileSync(pages.empty, '<!DOCTYPE html><html><head><meta charset="utf-8"></head><body></body></html>');
for (const entries of entryList.split(',').map(Number)) {
  const page = path.join(work, `page-${entries}.html`);
  execFileSync(qlhost, ['-o', page, archiveOf(entries)],
               { env: { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, 'config') } });
  pages[entries] = page;
}

const browser = await chromium.launch({
  executablePath: '/usr/bin/chromium', headless: true,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});
const times = Object.fromEntries(Object.keys(pages).map((k) => [k, []]));
for (let i = 0; i < Number(runs); ++i) {
  for (const [name, page] of Object.entries(pages)) {
    const view = await browser.newPage();
    const start = performance.now();
    await view.goto('file://' + page, { waitUntil: 'load' });
    times[name].push(performance.now() - start);
    await view.close();
  }
}
await browser.close();
const sizes = Object.fromEntries(Object.entries(pages).map(([k, p]) => [k, fs.statSync(p).size]));
fs.rmSync(work, { recursive: true, force: true });

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const empty = median(times.empty);
console.log('| page | loads | load event, median (ms) | beyond the empty page (ms) | page (KiB) |');
console.log('|---|---:|---:|---:|---:|');
console.log(`| empty | ${runs} | ${empty.toFixed(0)} | | |`);
for (const name of Object.keys(pages).filter((k) => k !== 'empty')) {
  const m = median(times[name]);
  console.log(`| ${Number(name).toLocaleString('en-US')} entries | ${runs} | ${m.toFixed(0)} | ${(m - empty).toFixed(0)} | ` +
              `${(sizes[name] / 1024).toFixed(0)} |`);
}
