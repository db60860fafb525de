'use strict';
// The web service's store for log uploads in blob storage: one block blob per accepted
// upload in a private container, named by day and release (tools/release/uploadnames.js),
// holding the upload's gzip bytes unchanged, with the release, the computer id and the
// program version as metadata. Several service machines can write into one container:
// names carry the arrival time and a random part, and nothing is ever overwritten.
const crypto = require('crypto');
const { openContainer } = require('../../tools/release/publish');
const { DEFAULT_CONTAINER, uploadBlobName, encodeMetadata } = require('../../tools/release/uploadnames');

// Node 18 lacks the global Web Crypto object the storage client library calls.
if (!globalThis.crypto) globalThis.crypto = crypto.webcrypto;

class BlobUploads {
  // target: a connection string (the container is created, private, on first use) or a
  // container SAS URL with write rights (the container must exist).
  constructor(target, containerName) {
    const opened = openContainer(target, /^https?:\/\//i.test(target) ? undefined : containerName || DEFAULT_CONTAINER);
    this.container = opened.container;
    this.mustCreate = opened.create;
    this.ready = null;
  }

  // The container is made on the first upload rather than at start: the storage service
  // may come up after the web service. A failed attempt is tried again next time.
  ensureContainer() {
    if (!this.mustCreate) return Promise.resolve();
    if (!this.ready) {
      this.ready = this.container.createIfNotExists().catch((e) => {
        this.ready = null;
        throw e;
      });
    }
    return this.ready;
  }

  async store({ body, computerId, version, release, now }) {
    await this.ensureContainer();
    const name = uploadBlobName(now || new Date(), release, computerId, crypto.randomBytes(3).toString('hex'));
    await this.container.getBlockBlobClient(name).upload(body, body.length, {
      blobHTTPHeaders: { blobContentType: 'application/gzip' },
      metadata: {
        release: encodeMetadata(release || ''),
        computerid: encodeMetadata(computerId),
        version: encodeMetadata(version || ''),
      },
      // Never replace an upload that is already there (a random part that came up twice).
      conditions: { ifNoneMatch: '*' },
    });
    return name;
  }
}

module.exports = { BlobUploads };
