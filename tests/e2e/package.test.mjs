// The Debian package made by CPack from this build: its contents and control data, lintian
// without errors, the systemd unit checked by systemd's own tools, and the program installed
// into a scratch root (dpkg -x) running from there with its admin page found in share/.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { BIN, Relay, cleanupAfter, tempDir } from './lib/harness.mjs';

const buildDir = path.dirname(BIN);
const have = (tool) => spawnSync('sh', ['-c', `command -v ${tool}`]).status === 0;
const cleanups = cleanupAfter();
const work = tempDir(cleanups, 'package');

test('cmake --install lays out bin/, share/tnlrelay/ and the unit under the prefix', () => {
    const prefix = path.join(work, 'prefix');
    execFileSync('cmake', ['--install', buildDir, '--prefix', prefix], { stdio: 'pipe' });
    for (const file of ['bin/tnlrelay', 'share/tnlrelay/AdminPage.html',
                        'lib/systemd/system/tnlrelay.service'])
        assert.ok(fs.existsSync(path.join(prefix, file)), `${file} installed`);
    assert.equal(fs.readFileSync(path.join(prefix, 'share/tnlrelay/AdminPage.html'), 'utf8'),
                 fs.readFileSync(path.join(buildDir, 'AdminPage.html'), 'utf8'));
});

const missing = ['cpack', 'dpkg-deb'].filter((tool) => !have(tool));
test('the .deb installs the program, the page and the unit, and the installed program runs',
     { skip: missing.length > 0 && `${missing.join(', ')} not installed` }, async (t) => {
    execFileSync('cpack', ['-G', 'DEB', '--config', path.join(buildDir, 'CPackConfig.cmake'),
                           '-B', work], { stdio: 'pipe' });
    const deb = fs.readdirSync(work).find((f) => /^tnlrelay_.*\.deb$/.test(f));
    assert.ok(deb, 'a package was made');
    const debPath = path.join(work, deb);

    const files = execFileSync('dpkg-deb', ['-c', debPath], { encoding: 'utf8' })
        .split('\n').filter(Boolean).map((l) => l.split(/\s+/).at(-1));
    for (const file of ['./usr/bin/tnlrelay', './usr/share/tnlrelay/AdminPage.html',
                        './usr/lib/systemd/system/tnlrelay.service', './usr/share/doc/tnlrelay/copyright',
                        './usr/share/man/man1/tnlrelay.1.gz'])
        assert.ok(files.includes(file), `${file} in the package`);
    const control = execFileSync('dpkg-deb', ['-f', debPath], { encoding: 'utf8' });
    assert.match(control, /^Package: tnlrelay$/m);
    assert.match(control, /^Depends: .*libc6/m, 'library dependencies are declared');

    if (have('lintian')) {
        const lint = spawnSync('lintian', ['--fail-on', 'error', debPath], { encoding: 'utf8' });
        assert.equal(lint.status, 0, `lintian reports errors:\n${lint.stdout}${lint.stderr}`);
        assert.doesNotMatch(lint.stdout, /^E: /m);
        // The manual page is found and renders without complaint.
        assert.doesNotMatch(lint.stdout, /no-manual-page|groff-message|manpage-has/);
    } else {
        t.diagnostic('lintian is not installed: the package was not linted');
    }

    const root = path.join(work, 'root');
    execFileSync('dpkg', ['-x', debPath, root]);
    const unit = path.join(root, 'usr/lib/systemd/system/tnlrelay.service');
    if (have('systemd-analyze')) {
        // Verified as installed, but pointing at the program in the scratch root, so that the
        // check that ExecStart is executable looks at the packaged program.
        const checked = path.join(work, 'tnlrelay.service');
        fs.writeFileSync(checked, fs.readFileSync(unit, 'utf8').replace(
            /^ExecStart=\/usr\/bin\/tnlrelay /m, `ExecStart=${root}/usr/bin/tnlrelay `));
        assert.notEqual(fs.readFileSync(checked, 'utf8'), fs.readFileSync(unit, 'utf8'));
        const verify = spawnSync('systemd-analyze', ['verify', checked], { encoding: 'utf8' });
        assert.equal(verify.status, 0, `systemd-analyze verify:\n${verify.stdout}${verify.stderr}`);
        assert.equal(verify.stderr.trim(), '', 'no warnings (an unknown key is only a warning)');
        const security = spawnSync('systemd-analyze', ['security', '--offline=yes', unit],
                                   { encoding: 'utf8' });
        const level = Number(/Overall exposure level for tnlrelay\.service: ([\d.]+)/
            .exec(security.stdout)?.[1]);
        assert.ok(level <= 2, `exposure level ${level} (OK is 2 or less):\n${security.stdout}`);
    } else {
        t.diagnostic('systemd-analyze is not installed (Debian package systemd): the unit was not verified');
    }

    // The installed program, with nothing beside it: the page comes from share/tnlrelay.
    const relay = await Relay.start({ cleanups, bin: path.join(root, 'usr/bin/tnlrelay'),
                                      dataRoot: tempDir(cleanups) });
    assert.equal(relay.exitCode, undefined, relay.stderr);
    const page = await relay.get('/', { admin: true });
    assert.equal(page.text, fs.readFileSync(path.join(root, 'usr/share/tnlrelay/AdminPage.html'), 'utf8'));
    assert.match(page.text, /id="chartPlayers"/);
    assert.match(page.text, /var uPlot=/, 'the chart library is inside the page');
    assert.equal((await relay.get('/healthz')).text, 'ok\n');
    assert.equal(await relay.stop('SIGTERM'), 0, 'a termination signal stops it cleanly');
    assert.ok(relay.logText().includes('relay stopped'));
});
