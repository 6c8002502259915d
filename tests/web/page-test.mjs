// The page in Chromium headless, served from localhost by a server of the test's own.
//   node tests/web/page-test.mjs BUILD_DIR OUT_DIR
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import puppeteer from 'puppeteer-core';

const [root, out] = process.argv.slice(2);
const types = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm'};
const files = ['index.html', 'page.js', 'page.css', 'tessel-web.js', 'tessel-web.wasm'];
const server = http.createServer((req, res) => {
  const name = req.url === '/' ? 'index.html' : req.url.slice(1);
  if (!files.includes(name)) { res.writeHead(404).end(); return; }
  res.writeHead(200, {'Content-Type': types[path.extname(name)]}).end(fs.readFileSync(path.join(root, name)));
});
await new Promise(r => server.listen(0, '127.0.0.1', r));
const url = `http://127.0.0.1:${server.address().port}/`;
const browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});
const failures = [];
async function check(name, body) {
  const page = await browser.newPage();
  const requests = [];
  page.on('request', r => requests.push(r.url()));
  try {
    await body(page, requests);
    console.log(`ok ${name}`);
  } catch (e) {
    failures.push(name);
    console.log(`FAIL ${name}: ${e.message}`);
  } finally {
    await page.close();
  }
}
const banner = page => page.$eval('#banner', e => e.textContent);
const settled = page => page.waitForFunction(() => document.querySelector('#banner').textContent !== '', {timeout: 20000});

await check('the stand-in board is detected, and the page asks no other host', async (page, requests) => {
  await page.setViewport({width: 1024, height: 700});
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#detect');
  await settled(page);
  assert.equal(await page.$eval('#banner', e => e.className), 'done', await banner(page));
  const fields = await page.$$eval('#fields dd', d => d.map(e => e.textContent));
  assert.ok(fields[1].includes('NX31A32'), fields.join('|'));
  assert.deepEqual(requests.filter(r => !r.startsWith(url)), []);
  await page.screenshot({path: path.join(out, 'page-1024x700.png')});
  await page.setViewport({width: 1920, height: 1080});
  await page.screenshot({path: path.join(out, 'page-1920x1080.png')});
});

await check('a sector erase asks first in a modal dialog, and No erases nothing', async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#detect');
  await settled(page);
  await page.$eval('#banner', e => { e.textContent = ''; });
  await page.click('#erase');
  await page.waitForSelector('#ask[open]');
  assert.ok((await page.$eval('#ask-text', e => e.textContent)).length > 0);
  await page.click('#ask-no');
  await settled(page);
  assert.equal(await page.$eval('#banner', e => e.className), 'bad', await banner(page));
  assert.ok((await banner(page)).includes('nothing was erased'), await banner(page));
});

await check('a command before detection is refused by the core', async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#read');
  await settled(page);
  assert.equal(await page.$eval('#banner', e => e.className), 'bad', await banner(page));
});

await check('without Web Serial the page says so and offers the stand-in board', async page => {
  await page.evaluateOnNewDocument(() => { delete Navigator.prototype.serial; });
  await page.goto(url, {waitUntil: 'networkidle0'});
  assert.equal(await page.$eval('#no-serial', e => e.hidden), false);
  assert.equal(await page.$eval('option[value="sim:NX31A32"]', e => e.disabled), false);
});

await check('every control has a name', async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  const snapshot = await page.accessibility.snapshot({interestingOnly: false});
  const unnamed = [];
  const roles = new Set(['button', 'combobox', 'spinbutton', 'textbox', 'checkbox', 'slider']);
  (function walk(node) {
    if (roles.has(node.role) && !node.name) unnamed.push(node.role);
    (node.children || []).forEach(walk);
  })(snapshot);
  assert.deepEqual(unnamed, []);
});

await browser.close();
server.close();
if (failures.length) { console.log(`${failures.length} failed`); process.exit(1); }
