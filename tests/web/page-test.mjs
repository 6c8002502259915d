// The page in Chromium headless, served from localhost by a server of the test's own.
//   node tests/web/page-test.mjs BUILD_DIR OUT_DIR [TESSEL_SIM TESSEL]
// With tessel-sim, the bridge: a stand-in navigator.serial (stand-in-serial.js) whose bytes the
// server passes to and from the board's pseudo-terminal, so that the page's own serial code runs.
import {spawn, execFileSync} from 'node:child_process';
import http from 'node:http';
import tty from 'node:tty';
import os from 'node:os';
import fs from 'node:fs';
import path from 'node:path';
import assert from 'node:assert/strict';
import puppeteer from 'puppeteer-core';

import {WebSocketServer} from 'ws';

const [root, out, simProgram, cliProgram] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'tessel-web-'));
const image = Buffer.alloc(32 * 1024);
for (let i = 0; i < image.length; ++i) image[i] = (i * 7 + (i >> 8)) & 0xFF;
fs.writeFileSync(path.join(work, 'image.bin'), image);
fs.writeFileSync(path.join(work, 'big.bin'), Buffer.concat([image, image.subarray(0, 8192)]));
let line = null;  // the board's pseudo-terminal while one runs: read as a stream, written by fd
function startBoard(args) {
  const sim = spawn(simProgram, [...(args.includes('--chip') ? [] : ['--chip', 'NX31A32']), ...args], {stdio: ['ignore', 'pipe', 'inherit']});
  return new Promise((resolve, reject) => {
    sim.once('exit', code => reject(new Error(`tessel-sim ended (${code}) before it named its line`)));
    sim.stdout.once('data', d => resolve({sim, path: d.toString().split('\n')[0]}));
  });
}
async function endBoard(sim) {
  await new Promise(r => { sim.once('exit', r); sim.kill('SIGTERM'); });
}
async function unbridge(board) {
  line.input.destroy();
  fs.closeSync(line.fd);
  line = null;
  await endBoard(board.sim);
}
function attach(path) {
  line = {input: new tty.ReadStream(fs.openSync(path, 'r+')), fd: fs.openSync(path, 'r+'), sent: 0};
  line.input.setRawMode(true);
}
const types = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm'};
const files = ['index.html', 'page.js', 'page.css', 'tessel-web.js', 'tessel-web.wasm'];
const server = http.createServer((req, res) => {
  const name = req.url === '/' ? 'index.html' : req.url.slice(1);
  if (!files.includes(name)) { res.writeHead(404).end(); return; }
  res.writeHead(200, {'Content-Type': types[path.extname(name)]}).end(fs.readFileSync(path.join(root, name)));
});
// Each byte as it comes, both ways: the page's reads wait on the board's echoes one by one.
// A page closed with its check may still be sending: the line it had is gone by then, and a
// later check's board is not its to write to.
new WebSocketServer({server, path: '/line'}).on('connection', socket => {
  const own = line;
  if (!own) { socket.close(); return; }
  const pass = bytes => socket.send(bytes);
  own.input.on('data', pass);
  socket.on('message', bytes => {
    if (line !== own) return;
    own.sent += bytes.length;
    fs.writeSync(own.fd, bytes);
  });
  socket.on('close', () => own.input.off('data', pass));
});
await new Promise(r => server.listen(0, '127.0.0.1', r));
const url = `http://127.0.0.1:${server.address().port}/`;
// Every wait is generous: the machine may be loaded (two cores, other builds), and a check fails
// on what the page does, never on how slowly it does it.
const patience = 300000;
const browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox'],
                                        protocolTimeout: patience});
const failures = [];
// ONLY=text runs the checks whose names hold it.
async function check(name, body) {
  if (process.env.ONLY && !name.includes(process.env.ONLY)) return;
  const page = await browser.newPage();
  page.setDefaultTimeout(patience);
  // How many questions the page put up, and who answers them: window.answers holds, for each
  // of the page's dialogs, the answers in turn (its last one repeating): "yes" or "no" for a
  // question, the texts typed (then OK) or "cancel" for the dialog of texts. They are given
  // through the dialog's own fields and buttons.
  await page.evaluateOnNewDocument(() => {
    window.asked = 0;
    window.answers = {};
    const show = HTMLDialogElement.prototype.showModal;
    HTMLDialogElement.prototype.showModal = function () {
      ++window.asked;
      show.call(this);
      const queue = window.answers[this.id];
      if (!queue || !queue.length) return;
      const next = queue.length > 1 ? queue.shift() : queue[0];
      setTimeout(() => {
        if (this.id === 'ask') { document.getElementById(`ask-${next}`).click(); return; }
        if (next !== 'cancel') this.querySelectorAll('input').forEach((input, i) => { input.value = next[i] ?? ''; });
        document.getElementById(next === 'cancel' ? 'text-cancel' : 'text-ok').click();
      });
    };
  });
  const requests = [];
  page.on('request', r => requests.push(r.url()));
  try {
    await body(page, requests);
    console.log(`ok ${name}`);
  } catch (e) {
    failures.push(name);
    const log = await page.$$eval('#log li', l => l.slice(-4).map(e => e.textContent)).catch(() => []);
    console.log(`FAIL ${name}: ${e.message}${log.map(l => `\n  log: ${l}`).join('')}`);
  } finally {
    if (line) await unbridge(line.board);
    await page.close();
  }
}
const banner = page => page.$eval('#banner', e => e.textContent);
const outcome = page => page.$eval('#banner', e => e.dataset.outcome);
// Yes to every question, and the board's empty password, unless told otherwise.
const answering = (page, answers = {ask: ['yes'], text: [['']]}) => page.evaluate(a => { window.answers = a; }, answers);
const settled = page => page.waitForFunction(() => document.querySelector('#banner').textContent !== '');

await check('the stand-in board is detected, and the page asks no other host', async (page, requests) => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#detect');
  await settled(page);
  assert.equal(await outcome(page), 'done', await banner(page));
  const fields = await page.$$eval('#fields dd', d => d.map(e => e.textContent));
  assert.ok(fields[1].includes('NX31A32'), fields.join('|'));
  assert.deepEqual(requests.filter(r => !r.startsWith(url)), []);
  // At both sizes every pane is in the window, the sector list's columns whole in their box.
  for (const [width, height] of [[1024, 700], [1920, 1080]]) {
    await page.setViewport({width, height});
    assert.deepEqual(await page.evaluate(() => {
      const root = document.documentElement;
      const box = document.querySelector('#sectors').parentElement.getBoundingClientRect();
      const status = document.querySelector('#sectors th:last-child').getBoundingClientRect();
      return [root.scrollWidth <= innerWidth, root.scrollHeight <= innerHeight, status.right <= box.right];
    }), [true, true, true], `${width}x${height}`);
    await page.screenshot({path: path.join(out, `page-${width}x${height}.png`)});
  }
});

await check('a sector erase asks first and No erases nothing; a file too big is refused before the erase question',
            async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#detect');
  await settled(page);
  await page.$eval('#banner', e => { e.textContent = ''; });
  await page.click('#erase');
  await page.waitForSelector('#ask[open]');
  assert.ok((await page.$eval('#ask-text', e => e.textContent)).length > 0);
  await page.click('#ask-no');
  await settled(page);
  assert.equal(await outcome(page), 'declined', await banner(page));
  await page.$eval('#banner', e => { e.textContent = ''; });
  // Block 0 holds 32 KB. The password gate comes first, as before every command that reads or
  // writes the flash; then the file is refused, before the question that would erase.
  await (await page.$('#file')).uploadFile(path.join(work, 'big.bin'));
  await answering(page, {text: [['']]});
  await page.click('#download');
  await settled(page);
  assert.equal(await outcome(page), 'failed', await banner(page));
  assert.equal(await page.evaluate(() => window.asked), 2);
});

await check('a command before detection is refused by the core', async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.click('#read');
  await settled(page);
  assert.equal(await outcome(page), 'refused', await banner(page));
});

await check('a 1.1E loader is refused, and the page goes on', async page => {
  await page.goto(url, {waitUntil: 'networkidle0'});
  await page.select('#firmware', '1');
  await page.click('#detect');
  await settled(page);
  assert.equal(await outcome(page), 'refused', await banner(page));
  await page.select('#firmware', '0');
  await page.$eval('#banner', e => { e.textContent = ''; });
  await page.click('#detect');
  await settled(page);
  assert.equal(await outcome(page), 'done', await banner(page));
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

if (simProgram) {
  // A page on the bridge to a native tessel-sim started with `args`, the board detected.
  // The page's fields set from `fields` (id: value), then, unless `detect` is false, detected.
  const bridged = async (page, args, fields = {}, detect = true) => {
    const board = await startBoard(args);
    attach(board.path);
    line.board = board;
    await page.evaluateOnNewDocument(fs.readFileSync(new URL('stand-in-serial.js', import.meta.url), 'utf8'));
    await page.goto(url, {waitUntil: 'networkidle0'});
    await page.select('#port', 'webserial');
    await page.evaluate(f => { for (const [id, v] of Object.entries(f)) document.getElementById(id).value = v; }, fields);
    board.started = Date.now();
    if (detect) await press(page, '#detect', 'done');
    return board;
  };
  // A button pressed and the command's outcome awaited; the banner cleared for the next.
  const press = async (page, button, expected) => {
    await page.$eval('#banner', e => { e.textContent = ''; });
    await page.click(button);
    await settled(page);
    assert.equal(await outcome(page), expected, `${button}: ${await banner(page)}`);
  };

  // The other commands, one row each: the board's options, the page's fields, the answers to
  // the questions (through the page's dialogs), the buttons pressed in turn with the outcome
  // each must have, and what the board must hold after (its block 0, or its state as the
  // page then reads it).
  const held = (page, id) => page.$eval(id, e => e.textContent);
  const rows = [
    {name: 'Byte Edit writes the bytes given', fields: {'edit-address': '0010', 'edit-data': '72 4F 5D'},
     steps: [['#edit-write', 'done']], block0: b => assert.deepEqual([...b.subarray(0x10, 0x13)], [0x72, 0x4F, 0x5D])},
    {name: 'Byte Edit shows the bytes the board holds', args: ['--block0', path.join(work, 'image.bin')],
     fields: {'edit-address': '0010'}, steps: [['#edit-show', 'done']],
     after: async page => assert.ok((await held(page, '#edit-shown')).includes('70'), await held(page, '#edit-shown'))},
    {name: 'Lock Chip burns the bit chosen', args: ['--chip', 'NX31H64D'], fields: {chip: 'NX31H64D'}, steps: [['#lock', 'done'], ['#detect', 'done']],
     after: async page => assert.ok(!(await held(page, '#security')).includes('UNLOCKED'), await held(page, '#security'))},
    {name: 'Memory Remap burns the size chosen', args: ['--mode', 'external'], fields: {mode: '1'}, steps: [['#remap', 'done'], ['#detect', 'done']],
     after: async page => assert.notEqual((await page.$$eval('#fields dd', d => d.map(e => e.textContent)))[2], '0 KByte')},
    {name: 'Double Clock is refused on an A chip, sending nothing', steps: [['#double-clock', 'refused']], quiet: true},
    {name: 'Set/Reset Password: the board then takes only the new one', answers: {ask: ['yes'], text: [['pw', 'pw'], ['wrong']]},
     fields: {count: '1'}, steps: [['#password-set', 'done'], ['#detect', 'done'], ['#read', 'failed']], inPage: true},
    {name: 'Run User Code: the loader has left, so a read is refused', steps: [['#run', 'done'], ['#read', 'refused']]},
    {name: 'Cable Test passes on a looped-back cable', args: ['--loopback'], detect: false, steps: [['#cable', 'done']]},
    {name: 'the external flash windows open and close', inPage: true,
     steps: [['#external-low', 'done'], ['#external-back', 'done']]},
  ];
  for (const row of rows) {
    await check(`${row.inPage ? 'on the page\'s stand-in board' : 'through Web Serial'}: ${row.name}`, async page => {
      const saved = path.join(work, 'row-block0.bin');
      // The commands that place the loader's stub (the password, the external windows) run on
      // the page's own stand-in board: the stub built in is one only a stand-in board in the
      // page takes.
      if (row.inPage) {
        await page.goto(url, {waitUntil: 'networkidle0'});
        await page.evaluate(f => { for (const [id, v] of Object.entries(f)) document.getElementById(id).value = v; }, row.fields || {});
        await press(page, '#detect', 'done');
        await answering(page, row.answers);
        for (const [button, expected] of row.steps) await press(page, button, expected);
        return;
      }
      const board = await bridged(page, [...(row.args || []), '--save-block0', saved], row.fields, row.detect ?? true);
      await answering(page, row.answers);
      const sent = line.sent;
      for (const [button, expected] of row.steps) await press(page, button, expected);
      if (row.quiet) assert.equal(line.sent, sent);
      if (row.after) await row.after(page);
      await unbridge(board);
      if (row.block0) row.block0(fs.readFileSync(saved));
    });
  }

  await check('through Web Serial: detect, download 32 KB, and the board holds it byte for byte', async page => {
    const board = await bridged(page, ['--save-block0', path.join(work, 'block0.bin')]);
    await (await page.$('#file')).uploadFile(path.join(work, 'image.bin'));
    await answering(page);
    await page.$eval('#banner', e => { e.textContent = ''; });
    await page.click('#download');
    await settled(page);
    // Timed from the detection on, as the command line detects before it downloads.
    const pageMs = Date.now() - board.started;
    assert.equal(await outcome(page), 'done', await banner(page));
    await unbridge(board);
    assert.ok(fs.readFileSync(path.join(work, 'block0.bin')).subarray(0, image.length).equals(image));
    // The command line on a board of its own, for the time of the same download.
    const cli = await startBoard([]);
    const cliStarted = Date.now();
    execFileSync(cliProgram, ['download', '--port', cli.path, '--chip', 'NX31A32', '--yes', path.join(work, 'image.bin')],
                 {stdio: 'ignore'});
    const cliMs = Date.now() - cliStarted;
    await endBoard(cli.sim);
    console.log(`32 KB download: page ${pageMs} ms, command line ${cliMs} ms: ${(pageMs / cliMs).toFixed(2)}`);
  });

  await check('through Web Serial: a command the rule book forbids sends nothing and asks nothing', async page => {
    const board = await bridged(page, []);
    const sent = line.sent;
    await page.click('#lock');
    await settled(page);
    assert.equal(await outcome(page), 'refused', await banner(page));
    assert.equal(line.sent, sent);
    assert.equal(await page.evaluate(() => window.asked), 0);
    await unbridge(board);
  });

  await check('through Web Serial: Stop ends a read between chunks, and the line is in step after', async page => {
    const board = await bridged(page, []);
    await answering(page);
    await page.click('#read');
    await page.waitForFunction(() => document.querySelector('#progress').value > 0);
    await page.click('#stop');
    await settled(page);
    assert.equal(await outcome(page), 'stopped', await banner(page));
    const states = await page.$$eval('#sectors tbody tr', rows => rows.map(r => r.lastChild.textContent.trim()));
    const unread = states.filter(s => s === 'Not read').length;
    assert.ok(unread > 0 && unread < states.length, states.join('|'));
    await page.$eval('#banner', e => { e.textContent = ''; });
    await page.$eval('#count', e => { e.value = '1'; });
    await page.click('#read');
    await settled(page);
    assert.equal(await outcome(page), 'done', await banner(page));
    await unbridge(board);
  });
}
fs.rmSync(work, {recursive: true, force: true});

await browser.close();
server.close();
if (failures.length) {
  console.error(`${failures.length} of the page's checks failed:\n${failures.map(f => `  ${f}`).join('\n')}`);
  process.exit(1);
}
