'use strict';
// Release look-up of the reference web service: the base catalogue shipped with the test
// servers plus the entries tests drop into <service root>/catalogue.d/ (one file per
// release: {"release": name, "entry": {...}}). Read anew on every request; where several
// files name the same release, the most recently written one wins.
const fs = require('fs');
const path = require('path');
const { orElse } = require('./listen');

const readJson = (file) => orElse(() => JSON.parse(fs.readFileSync(file, 'utf8')), null);

// The entry of a release, or null when the catalogue does not know it.
function lookUp(baseFile, folder, release) {
  let best = null;
  let bestTime = -1;
  const names = orElse(() => fs.readdirSync(folder).filter((n) => n.endsWith('.json')), []);
  for (const name of names) {
    const file = path.join(folder, name);
    const doc = readJson(file);
    if (!doc || doc.release !== release || typeof doc.entry !== 'object' || doc.entry === null) continue;
    const time = orElse(() => fs.statSync(file).mtimeMs, null);
    if (time === null) continue;
    if (time >= bestTime) {
      best = doc.entry;
      bestTime = time;
    }
  }
  if (best) return best;
  const base = baseFile ? readJson(baseFile) : null;
  const known = base && base.releases && Object.prototype.hasOwnProperty.call(base.releases, release);
  return known ? base.releases[release] : null;
}

module.exports = { lookUp };
