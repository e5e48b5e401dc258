// Self-signed certificates made by the openssl command, and starting a relay with a config.json
// of the test's choosing (a certificate pair copied into its data directory).
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { Relay, makeDataRoot } from './harness.mjs';

export const haveOpenssl = (() => {
    try {
        execFileSync('openssl', ['version'], { stdio: 'ignore' });
        return true;
    } catch {
        return false;
    }
})();

/** A self-signed pair for localhost, 127.0.0.1 and ::1, with a chosen serial. */
export function makeCertificate(dir, name, serial, cn = 'localhost') {
    const key = path.join(dir, `${name}.key`), cert = path.join(dir, `${name}.crt`);
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
        '-nodes', '-keyout', key, '-out', cert, '-days', '30', '-subj', `/CN=${cn}`,
        '-addext', 'subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost', '-set_serial', serial],
    { stdio: 'ignore' });
    return { key, cert };
}

/**
 * Starts a relay whose config.json holds `config`; with `pair`, its files are copied into the
 * data directory and named there by relative paths. `startOptions` go to Relay.start.
 */
export async function startConfigured(config, pair, startOptions = {}) {
    const dataRoot = makeDataRoot();
    const dir = path.join(dataRoot, 'Tarnelle', 'RelayServer');
    fs.mkdirSync(dir, { recursive: true });
    if (pair) {
        fs.copyFileSync(pair.cert, path.join(dir, 'cert.pem'));
        fs.copyFileSync(pair.key, path.join(dir, 'key.pem'));
        config = { tlsCertificate: 'cert.pem', tlsPrivateKey: 'key.pem', ...config };
    }
    fs.writeFileSync(path.join(dir, 'config.json'), JSON.stringify(config));
    return Relay.start({ dataRoot, ...startOptions });
}
