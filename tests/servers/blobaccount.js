'use strict';
// The storage account of the blob storage emulator (Azurite) and the shared-access
// signatures made for it. The account name and key are the emulator's fixed development
// account, the same on every machine; nothing here is a secret.
const {
  StorageSharedKeyCredential,
  generateBlobSASQueryParameters,
  generateAccountSASQueryParameters,
  ContainerSASPermissions,
  AccountSASPermissions,
  AccountSASServices,
  AccountSASResourceTypes,
  SASProtocol,
} = require('@azure/storage-blob');

const ACCOUNT = 'devstoreaccount1';
const ACCOUNT_KEY = 'Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==';
// Clocks of customers' machines and of the storage service disagree by minutes at times:
// a token that starts "now" could be refused as not yet valid.
const START_SKEW_MS = 5 * 60 * 1000;

function credential(accountKey) {
  return new StorageSharedKeyCredential(ACCOUNT, accountKey || ACCOUNT_KEY);
}

// A read-only token for every blob of one container ("sp=r": no listing, no writing),
// HTTPS only, valid from a few minutes ago for lifetimeSeconds. Flat blob storage cannot
// scope a token to a prefix, so the container is the narrowest scope there is: keep one
// release (or one product) per container when that matters. options.expired: a token
// whose expiry passed a minute ago (for tests of the program's renewal).
function readSas(container, lifetimeSeconds, options = {}) {
  const now = options.now ? options.now.getTime() : Date.now();
  return generateBlobSASQueryParameters({
    containerName: container,
    permissions: ContainerSASPermissions.parse('r'),
    protocol: SASProtocol.Https,
    startsOn: new Date(now - START_SKEW_MS),
    expiresOn: new Date(options.expired ? now - 60 * 1000 : now + lifetimeSeconds * 1000),
  }, credential(options.accountKey)).toString();
}

// A token for the test set-up itself (creating containers, writing and deleting blobs).
function writeSas(lifetimeSeconds) {
  const now = Date.now();
  return generateAccountSASQueryParameters({
    services: AccountSASServices.parse('b').toString(),
    resourceTypes: AccountSASResourceTypes.parse('sco').toString(),
    permissions: AccountSASPermissions.parse('rwdlac'),
    protocol: SASProtocol.Https,
    startsOn: new Date(now - START_SKEW_MS),
    expiresOn: new Date(now + lifetimeSeconds * 1000),
  }, credential()).toString();
}

function connectionString(endpoint) {
  return 'DefaultEndpointsProtocol=https;AccountName=' + ACCOUNT + ';AccountKey=' + ACCOUNT_KEY +
    ';BlobEndpoint=' + endpoint + ';';
}

module.exports = { ACCOUNT, ACCOUNT_KEY, START_SKEW_MS, readSas, writeSas, connectionString };
