'use strict';
// The page of tools/logs --html in a real browser (Debian's headless Chromium, driven by
// playwright-core): it loads without script errors and without asking the network for
// anything, and the figures it shows are those of tools/logs --json. The rendered page is
// kept as a PNG (VELMOT_LOGS_PNG names where; docs/field-logs-report.png is one).
const test = require('node:test');
const assert = require('node:assert');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const { createRequire } = require('module');
const { writeWeek } = require('./logfixture');

const root = path.join(__dirname, '..', '..', '..');
const CHROMIUM = '/usr/bin/chromium';
// Without the background-networking flags Chromium keeps trying outside addresses.
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

function percent(share) {
  return (share * 100).toFixed(1) + '%';
}

test('the page shows the --json figures in Chromium, without script errors or network requests', { timeout: 120000 }, async () => {
  assert.ok(fs.existsSync(CHROMIUM), CHROMIUM + ' is missing: run tools/setup-deps');
  const { chromium } = createRequire(path.join(root, 'tests', 'servers', 'package.json'))('playwright-core');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmot-logpage-'));
  const profile = path.join(dir, 'profile');
  const page = path.join(dir, 'logs.html');
  let browser = null;
  try {
    const week = writeWeek(path.join(dir, 'uploads'));
    const args = [path.join(root, 'tools', 'logs'), '--from', path.join(dir, 'uploads'), '--since', week.since, '--until', week.until];
    const html = spawnSync(args[0], [...args.slice(1), '--html', page], { encoding: 'utf8', timeout: 60000 });
    assert.strictEqual(html.status, 0, html.stderr);
    const json = spawnSync(args[0], [...args.slice(1), '--json'], { encoding: 'utf8', timeout: 60000 });
    assert.strictEqual(json.status, 0, json.stderr);
    const summary = JSON.parse(json.stdout);

    browser = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM, headless: true, args: FLAGS, viewport: { width: 1280, height: 1000 },
    });
    const problems = [];
    const requested = [];
    await browser.route('**/*', (route) => {
      const url = route.request().url();
      if (url.startsWith('file:')) return route.continue();
      requested.push(url);
      return route.abort();
    });
    const tab = await browser.newPage();
    tab.on('pageerror', (e) => problems.push('script error: ' + e.message));
    tab.on('console', (m) => { if (m.type() === 'error' || m.type() === 'warning') problems.push('console: ' + m.text()); });
    await tab.goto('file://' + page);
    await tab.waitForSelector('body[data-drawn="yes"]', { timeout: 30000 });
    const shown = await tab.evaluate(() => ({
      runs: document.querySelector('#runs b').textContent,
      shares: ['outage', 'renewal', 'signInPage', 'fullDisk'].map((id) => document.querySelector('#' + id + ' b').textContent),
      days: [...document.querySelectorAll('g.day')].map((g) => [g.dataset.day, Number(g.dataset.runs), g.querySelector('text').textContent,
        g.querySelector('rect').getBoundingClientRect().height]),
      steps: [...document.querySelectorAll('tr[data-step]')].map((tr) => [...tr.cells].slice(0, 3).map((td) => td.textContent)),
      causes: [...document.querySelectorAll('tr.cause')].map((tr) => [tr.dataset.cause, tr.querySelector('.runs').textContent,
        tr.querySelector('.share').textContent, tr.querySelectorAll('.example').length]),
      errors: [...document.querySelectorAll('tr.error')].map((tr) => tr.dataset.code),
      hosts: document.querySelectorAll('tr.host').length,
      unreadable: document.querySelectorAll('#unreadable-list li').length,
    }));
    const png = process.env.VELMOT_LOGS_PNG || path.join(process.env.VELMOT_BUILD_DIR || dir, 'field-logs-report.png');
    await tab.screenshot({ path: png, fullPage: true });

    assert.deepStrictEqual(problems, []);
    assert.deepStrictEqual(requested, []);
    assert.strictEqual(shown.runs, String(summary.runs));
    const s = summary.shares;
    assert.deepStrictEqual(shown.shares, [s.outage, s.renewal, s.signInPage, s.fullDisk].map((x) => percent(x.share)));
    // Every day of the window has its bar, days without runs too; taller bars for more runs.
    assert.deepStrictEqual(shown.days.map((d) => [d[0], d[1], d[2]]),
      summary.days.map((d) => [d.day, d.runs, String(d.runs)]));
    for (let i = 1; i < shown.days.length; i++) {
      assert.strictEqual(Math.sign(shown.days[i][3] - shown.days[i - 1][3]), Math.sign(shown.days[i][1] - shown.days[i - 1][1]));
    }
    assert.deepStrictEqual(shown.steps, Object.entries(summary.steps).map(([step, n]) => [step, String(n), percent(n / summary.runs)]));
    assert.deepStrictEqual(shown.causes, summary.causes.map((c) => [c.cause, String(c.runs), percent(c.share), c.examples.length]));
    assert.ok(summary.causes.every((c) => c.examples.length >= 2 && c.examples.length <= 3));
    assert.deepStrictEqual(shown.errors, summary.errors.map((e) => e.code));
    assert.strictEqual(shown.hosts, summary.hosts.length);
    assert.strictEqual(shown.unreadable, 1);
  } finally {
    if (browser) await browser.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
