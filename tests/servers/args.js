'use strict';
// "--name value" pairs from the command line into an object.
function parseArgs(argv) {
  const out = {};
  for (let i = 0; i < argv.length; i++) {
    if (argv[i].startsWith('--')) {
      const name = argv[i].slice(2);
      const next = argv[i + 1];
      if (next === undefined || next.startsWith('--')) out[name] = true;
      else out[name] = argv[++i];
    }
  }
  return out;
}
module.exports = { parseArgs };
