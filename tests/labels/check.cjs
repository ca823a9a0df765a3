// Renders each OK board's recorded label to PNG (zpl-renderer-js, offline)
// and reads its QR code back with zbarimg: it must be the board's value of
// the field, byte for byte, whatever ZPL's own characters that value holds.
// Usage: node check.cjs RECORDS.jsonl FIELD OUT_DIR
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { ready } = require('zpl-renderer-js');

async function main() {
  const [recordsPath, field, outDir] = process.argv.slice(2);
  const { api } = await ready;
  const lines = fs.readFileSync(recordsPath, 'utf8').split('\n').filter((l) => l !== '');
  let passed = 0;
  let failed = 0;
  for (const [i, line] of lines.entries()) {
    const record = JSON.parse(line);
    const want = String(record.fields[field]);
    const png = path.join(outDir, `label-${i + 1}.png`);
    fs.writeFileSync(png, Buffer.from(await api.zplToBase64Async(record.label.text, 60, 40, 8),
      'base64'));
    let got;
    try {
      got = execFileSync('zbarimg', ['--raw', '-q', png],
        { encoding: 'latin1', stdio: ['ignore', 'pipe', 'ignore'] }).replace(/\n$/, '');
    } catch (e) {
      got = `(no code read: ${e.status})`;
    }
    const shown = (s) => JSON.stringify(s);
    if (got === Buffer.from(want, 'utf8').toString('latin1') && record.result === 'ok') {
      ++passed;
      console.log(`ok: board ${record.board} ${shown(want)}: its label's QR code reads ${shown(got)}`);
    } else {
      ++failed;
      console.log(`FAIL: board ${record.board} ${shown(want)}: its label's QR code reads ` +
        `${shown(got)} (${png})`);
    }
  }
  if (lines.length === 0) {
    ++failed;
    console.log('FAIL: no record');
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
}

main().catch((e) => {
  console.error(String(e));
  process.exit(1);
});
