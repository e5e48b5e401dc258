// The Debian package made by CPack from this build: its contents and control data, lintian
// without a single tag, the systemd unit checked by systemd's own tools, the maintainer scripts
// run by dpkg into a scratch root, and the program installed there running with its page.
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
    const fields = execFileSync('dpkg-deb', ['-f', debPath], { encoding: 'utf8' });
    assert.match(fields, /^Package: tnlrelay$/m);
    assert.match(fields, /^Depends: .*libc6/m, 'library dependencies are declared');
    assert.match(fields, /^Depends: .*init-system-helpers/m, 'the scripts\' helpers are declared');

    // The maintainer scripts, as dpkg will run them.
    const control = path.join(work, 'control');
    execFileSync('dpkg-deb', ['-e', debPath, control]);
    for (const script of ['postinst', 'prerm', 'postrm']) {
        const file = path.join(control, script);
        assert.ok(fs.existsSync(file), `${script} in the package`);
        assert.ok(fs.statSync(file).mode & 0o100, `${script} is executable`);
        const syntax = spawnSync('sh', ['-n', file], { encoding: 'utf8' });
        assert.equal(syntax.status, 0, `${script}: ${syntax.stderr}`);
    }

    if (have('lintian')) {
        // Every tag, informational and pedantic ones included; what is so by design is
        // overridden in the package with its reason.
        const lint = spawnSync('lintian', ['--pedantic', '-I', '--fail-on', 'error', debPath],
                               { encoding: 'utf8' });
        assert.equal(lint.status, 0, `lintian reports errors:\n${lint.stdout}${lint.stderr}`);
        assert.deepEqual(lint.stdout.split('\n').filter((l) => /^[A-Z]: /.test(l)), [],
                         'lintian --pedantic -I says nothing');
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
        // Documentation=man:tnlrelay(1) is checked with man(1): the packaged page must be found.
        const verify = spawnSync('systemd-analyze', ['verify', checked], { encoding: 'utf8',
            env: { ...process.env, MANPATH: path.join(root, 'usr/share/man') } });
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

    if (have('readelf')) {
        const program = path.join(root, 'usr/bin/tnlrelay');
        assert.match(execFileSync('readelf', ['-l', program], { encoding: 'utf8' }), /GNU_RELRO/);
        assert.match(execFileSync('readelf', ['-d', program], { encoding: 'utf8' }), /\(FLAGS\)\s+BIND_NOW/,
                     'full RELRO: every symbol bound at start');
    }

    // The program and the unit in the installed package are the packed ones.
    assert.match(fs.readFileSync(unit, 'utf8'), /^ExecReload=\/bin\/kill -HUP \$MAINPID$/m);
    assert.match(fs.readFileSync(unit, 'utf8'), /^Documentation=man:tnlrelay\(1\)$/m);

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

// dpkg runs the maintainer scripts for an installation into another root without a chroot
// (--force-script-chrootless), with DPKG_ROOT naming that root: deb-systemd-helper then keeps
// its links and records there, and the scripts never call systemctl. Starting, restarting and
// stopping the unit need systemd as PID 1, which is not here: those steps are skipped by the
// scripts' own guard, as on any machine without systemd.
const dpkgMissing = ['cpack', 'dpkg', 'deb-systemd-helper'].filter((tool) => !have(tool));
test('dpkg into a scratch root: the unit is enabled on install, masked on removal, and a purge deletes its data',
     { skip: (dpkgMissing.length > 0 && `${dpkgMissing.join(', ')} not installed`) ||
             (process.getuid() !== 0 && 'dpkg --root needs root') }, () => {
    const out = path.join(work, 'scratch-package');
    execFileSync('cpack', ['-G', 'DEB', '--config', path.join(buildDir, 'CPackConfig.cmake'),
                           '-B', out], { stdio: 'pipe' });
    const deb = path.join(out, fs.readdirSync(out).find((f) => /^tnlrelay_.*\.deb$/.test(f)));
    const root = path.join(work, 'dpkg-root');
    for (const dir of ['var/lib/dpkg/info', 'var/lib/dpkg/updates'])
        fs.mkdirSync(path.join(root, dir), { recursive: true });
    fs.writeFileSync(path.join(root, 'var/lib/dpkg/status'), '');
    // The libraries the package depends on are the host's, not the scratch root's.
    const dpkg = (...args) => execFileSync('dpkg', [`--root=${root}`, '--force-script-chrootless',
        '--force-depends', '--log=/dev/null', ...args], { encoding: 'utf8', stdio: 'pipe' });
    const at = (file) => path.join(root, file);
    const link = (file) => { try { return fs.readlinkSync(at(file)); } catch { return undefined; } };
    const wants = 'etc/systemd/system/multi-user.target.wants/tnlrelay.service';
    const state = 'var/lib/systemd/deb-systemd-helper-enabled';

    dpkg('-i', deb);
    assert.equal(link(wants), '/usr/lib/systemd/system/tnlrelay.service', 'enabled on install');
    assert.ok(fs.existsSync(at(`${state}/tnlrelay.service.dsh-also`)), 'the helper keeps its record');
    assert.ok(fs.existsSync(at('usr/bin/tnlrelay')));

    // Disabled by the administrator (systemctl disable removes the link): an upgrade (the same
    // version again) keeps it so; enabled again by hand afterwards.
    fs.rmSync(at(wants));
    dpkg('-i', deb);
    assert.equal(link(wants), undefined, 'an upgrade does not enable what was disabled');
    fs.symlinkSync('/usr/lib/systemd/system/tnlrelay.service', at(wants));

    dpkg('-r', 'tnlrelay');
    assert.ok(!fs.existsSync(at('usr/bin/tnlrelay')));
    assert.equal(link('etc/systemd/system/tnlrelay.service'), '/dev/null', 'masked once removed');

    // The relay's data as the unit leaves it: DynamicUser keeps it under private/.
    fs.mkdirSync(at('var/lib/private/tnlrelay/Tarnelle/RelayServer'), { recursive: true });
    fs.writeFileSync(at('var/lib/private/tnlrelay/Tarnelle/RelayServer/config.json'), '{}');
    fs.symlinkSync('private/tnlrelay', at('var/lib/tnlrelay'));
    fs.mkdirSync(at('var/lib/private/other'));
    dpkg('-P', 'tnlrelay');
    for (const gone of ['var/lib/tnlrelay', 'var/lib/private/tnlrelay', wants,
                        'etc/systemd/system/tnlrelay.service', `${state}/tnlrelay.service.dsh-also`])
        assert.equal(fs.existsSync(at(gone)) || link(gone) !== undefined, false, `${gone} purged`);
    assert.ok(fs.existsSync(at('var/lib/private/other')), 'nothing else is deleted');
});
