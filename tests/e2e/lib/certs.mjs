// Self-signed certificates made by the openssl command (a relay started with `pair: ...` serves
// one).
import { execFileSync } from 'node:child_process';
import path from 'node:path';

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

