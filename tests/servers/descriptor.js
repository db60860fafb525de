'use strict';
// Builds the download descriptor answered for a known release. Kept apart from the
// catalogue look-up so that the shared-access text can later be issued per request (for
// instance a short-lived read-only token for a blob-storage emulator) without touching
// how releases are found.

// "${FILEHOST}" in any text member stands for the file host this service runs beside.
function substitute(value, context) {
  if (typeof value !== 'string') return value;
  return value.split('${FILEHOST}').join(context.fileHost || '');
}

// The entry's members are passed through as they are (a test may give a number where a
// text belongs); "error_info" is null unless the entry itself carries one.
function buildDescriptor(entry, context) {
  const answer = { error_info: null };
  for (const [key, value] of Object.entries(entry)) {
    if (key === 'respond') continue;
    answer[key] = substitute(value, context);
  }
  return answer;
}

function refusal(text) {
  return { error_info: text };
}

module.exports = { buildDescriptor, refusal };
