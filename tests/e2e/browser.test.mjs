// The admin page in headless Chromium against the running relay: players appear and can be
// kicked, addresses banned and unbanned, the live log follows, hostile names stay text, and the
// page says when the relay is gone and recovers when it returns; with logins, over https, the
// page logs in and out, hides moderation from viewers, and another site's form changes nothing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { haveOpenssl, makeCertificate } from './lib/certs.mjs';
import { BIN, CHROMIUM, Relay, adminAccounts, cleanupAfter, freePort, launchChromium, makeDataRoot,
         startRedis, tempDir, waitFor } from './lib/harness.mjs';

const HOSTILE = '<img src=x onerror=alert(1)>';

const cleanups = cleanupAfter();

test('the admin page shows, kicks, bans and unbans, and follows the log',
     { skip: !fs.existsSync(CHROMIUM) && 'chromium is not installed' }, async () => {
    let relay = await Relay.start({ cleanups });
    const context = await launchChromium(cleanups, { viewport: { width: 1400, height: 900 } });
    const page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(15000);
    const nativeDialogs = [];
    const pageErrors = [];
    page.on('dialog', (d) => {
        nativeDialogs.push(d.message());
        d.dismiss();
    });
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    const fetched = new Set();
    page.on('request', (r) => fetched.add(new URL(r.url()).pathname));

    await page.goto(`http://127.0.0.1:${relay.adminPort}/`);
    await page.locator('#status', { hasText: 'connected' }).waitFor();
    assert.equal(await page.textContent('#gamePort'), String(relay.port));
    assert.equal(await page.textContent('#logPath'), relay.logPath);
    await page.locator('#logView div', { hasText: 'relay listening' }).waitFor();

    // A joined player appears, its name shown as the characters it is made of.
    const hostile = await relay.join({ room: 'P_lobby', player: 'guid-1', name: HOSTILE,
                                       game: 'Space', listed: '1', owner: 'o1', cat: 'arcade' });
    const row = page.locator('#playerRows tr', { hasText: HOSTILE });
    await row.waitFor();
    const cells = await row.locator('td').allTextContents();
    assert.deepEqual(cells.slice(0, 8),
                     [HOSTILE, 'guid-1', '127.0.0.1', 'P_lobby', 'Space', 'yes', 'o1', 'arcade']);
    assert.equal(await page.locator('img').count(), 0, 'no element was made from the name');
    await page.locator('#roomRows tr', { hasText: 'P_lobby' }).waitFor();
    assert.equal(await page.locator('#roomRows tr td.num').first().textContent(), '1');
    await page.locator('#logView div', { hasText: `JOIN room=P_lobby player=${HOSTILE}` }).waitFor();
    fs.mkdirSync(path.dirname(BIN), { recursive: true });
    await page.screenshot({ path: path.join(path.dirname(BIN), 'admin-page.png'), fullPage: true });

    // Kick: the connection closes, the row goes, the KICK line arrives in the log view.
    const connId = (await relay.state()).players[0].connId;
    await row.getByRole('button', { name: 'Kick' }).click();
    await hostile.closedPromise;
    await row.waitFor({ state: 'detached' });
    await page.locator('#logView div', { hasText: `KICK connId=${connId} ip=127.0.0.1` }).waitFor();
    await page.locator('#playersEmpty', { hasText: 'No players connected.' }).waitFor();

    // Ban from a player's row asks first; cancelling changes nothing.
    const bob = await relay.join({ room: 'P_lobby', name: 'Bob' });
    const bobRow = page.locator('#playerRows tr', { hasText: 'Bob' });
    await bobRow.getByRole('button', { name: 'Ban' }).click();
    await page.locator('#confirm[open]', { hasText: 'Bob (127.0.0.1)' }).waitFor();
    await page.click('#confirmNo');
    await page.locator('#confirm[open]').waitFor({ state: 'detached' });
    assert.deepEqual((await relay.state()).bans, [], 'a cancelled ban is not made');
    await bobRow.getByRole('button', { name: 'Ban' }).click();
    await page.click('#confirmYes');
    await bob.closedPromise;
    const banRow = page.locator('#banRows tr', { hasText: '127.0.0.1' });
    await banRow.waitFor();
    assert.deepEqual(await banRow.locator('td').allTextContents(), ['127.0.0.1', 'Bob', 'Unban']);
    await page.locator('#logView div', { hasText: 'BAN ip=127.0.0.1 name=Bob' }).waitFor();

    // Ban by hand, then lift both bans.
    await page.fill('#banIp', '198.51.100.20');
    await page.fill('#banName', 'Mallory');
    await page.click('#banForm button[type=submit]');
    await page.click('#confirmYes');
    const handRow = page.locator('#banRows tr', { hasText: '198.51.100.20' });
    await handRow.waitFor();
    await page.locator('#logView div', { hasText: 'BAN ip=198.51.100.20 name=Mallory' }).waitFor();
    assert.equal(await page.inputValue('#banIp'), '', 'the form is cleared after the ban');
    for (const [rowLocator, ip] of [[banRow, '127.0.0.1'], [handRow, '198.51.100.20']]) {
        await rowLocator.getByRole('button', { name: 'Unban' }).click();
        await rowLocator.waitFor({ state: 'detached' });
        await page.locator('#logView div', { hasText: `UNBAN ip=${ip}` }).waitFor();
    }
    assert.deepEqual((await relay.state()).bans, []);
    await page.locator('#bansEmpty', { hasText: 'No bans.' }).waitFor();

    // A ban that cannot be stored (config.json made a folder) holds and says so until a retry
    // stores it.
    assert.ok(await page.locator('#bansUnsaved').isHidden(), 'saved bans carry no warning');
    fs.rmSync(relay.configPath);
    fs.mkdirSync(relay.configPath);
    await page.fill('#banIp', '198.51.100.21');
    await page.click('#banForm button[type=submit]');
    await page.click('#confirmYes');
    await page.locator('#banRows tr', { hasText: '198.51.100.21' }).waitFor();
    await page.locator('#bansUnsaved', { hasText: 'bans not saved' }).waitFor();
    fs.rmdirSync(relay.configPath);
    await page.locator('#bansUnsaved').waitFor({ state: 'hidden' });
    assert.match(fs.readFileSync(relay.configPath, 'utf8'), /198\.51\.100\.21/);

    // Players are found by search and by room, a page at a time, from the relay's pages.
    const crowd = [];
    for (const [room, name] of [['P_arena', 'Zed'], ['P_arena', 'Amy'], ['P_dock', 'Kim']]) {
        crowd.push(await relay.join({ room, name }));
    }
    await page.locator('#playerTotal', { hasText: '3' }).waitFor();
    await page.locator('#roomRows tr', { hasText: 'P_arena' }).waitFor();
    await page.fill('#filter', 'ZE');
    await page.locator('#playerRows tr', { hasText: 'Amy' }).waitFor({ state: 'detached' });
    assert.deepEqual(await page.locator('#playerRows tr td:first-child').allTextContents(), ['Zed']);
    await page.locator('#pageText', { hasText: '1–1 of 1 found' }).waitFor();
    await page.fill('#filter', '');
    await page.locator('#pageText', { hasText: '1–3 of 3' }).waitFor();
    await page.locator('#roomRows tr', { hasText: 'P_dock' }).click();
    await page.locator('#pageText', { hasText: '1–1 of 1 found' }).waitFor();
    assert.deepEqual(await page.locator('#playerRows tr td:first-child').allTextContents(), ['Kim']);
    await page.click('#roomClear');
    await page.locator('#pageText', { hasText: '1–3 of 3' }).waitFor();
    await page.fill('#roomFilter', 'doc');
    await page.locator('#roomRows tr', { hasText: 'P_arena' }).waitFor({ state: 'detached' });
    assert.deepEqual(await page.locator('#roomRows tr').allTextContents(), ['P_dock1']);
    await page.fill('#roomFilter', '');
    await page.locator('#roomRows tr', { hasText: 'P_arena' }).waitFor();
    for (const ws of crowd) ws.close();
    await page.locator('#playersEmpty', { hasText: 'No players connected.' }).waitFor();

    // The log view keeps the newest line in view.
    const atBottom = await page.$eval('#logView',
                                      (v) => v.scrollHeight - v.scrollTop - v.clientHeight < 30);
    assert.ok(atBottom, 'the log view follows the newest lines');

    // The relay goes away: the page says so; it comes back: the page recovers by itself.
    await relay.stop();
    await page.locator('#banner.shown', { hasText: 'cannot be reached' }).waitFor();
    await page.locator('#status', { hasText: 'unreachable' }).waitFor();
    relay = await Relay.start({ cleanups, dataRoot: relay.dataRoot, port: relay.port });
    await page.locator('#status', { hasText: 'connected' }).waitFor();
    await page.locator('#banner.shown').waitFor({ state: 'detached' });
    await page.locator('#logView div', { hasText: 'relay stopped' }).waitFor();

    // The page asks for the summary and pages, never for the whole state.
    assert.ok(fetched.has('/api/summary') && fetched.has('/api/players'), [...fetched].join(' '));
    assert.ok(!fetched.has('/api/state'), 'the page does not fetch /api/state');
    assert.deepEqual(nativeDialogs, [], 'no script ran from player data');
    assert.deepEqual(pageErrors, []);
});

test('over https with logins: the page logs in, kicks and bans, hides moderation from a viewer, ' +
     'ignores another site\'s form, and is refused after logout',
     { skip: (!fs.existsSync(CHROMIUM) && 'chromium is not installed') || (!haveOpenssl && 'no openssl') },
     async () => {
    const dataRoot = makeDataRoot();
    const config = adminAccounts(dataRoot, [['alice', 'alice-password-1'],
                                            ['vera', 'vera-password-1', 'viewer']]);
    const pair = makeCertificate(tempDir(cleanups, 'browser-tls'), 'page', '0x0B01');
    const relay = await Relay.start({ cleanups, dataRoot, pair,
                                      config: { ...config, adminLoginOnLoopback: true } });
    const context = await launchChromium(cleanups, { ignoreHTTPSErrors: true,
                                                     args: ['--ignore-certificate-errors'] });
    const page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(15000);
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    const logIn = async (name, password) => {
        await page.fill('#loginName', name);
        await page.fill('#loginPassword', password);
        await page.click('#loginForm button[type=submit]');
    };

    const admin = `https://localhost:${relay.adminPort}`;
    await page.goto(`${admin}/`);
    await page.locator('#loginView[open]').waitFor();
    await logIn('alice', 'not-her-password');
    await page.locator('#loginHint', { hasText: 'name or password wrong' }).waitFor();
    await logIn('alice', 'alice-password-1');
    await page.locator('#accountName', { hasText: 'alice (moderator)' }).waitFor();
    await page.locator('#status', { hasText: 'connected' }).waitFor();
    assert.equal(await page.inputValue('#loginPassword'), '', 'the password leaves the form');
    const [cookie] = (await context.cookies(admin)).filter((c) => c.name === 'tnlrelay_session');
    assert.deepEqual([cookie.httpOnly, cookie.secure, cookie.sameSite, cookie.path],
                     [true, true, 'Strict', '/']);

    // Kick from a row and ban by hand: done, and each named after the account.
    const griefer = await relay.join({ room: 'P_lobby', name: 'Griefer' });
    const row = page.locator('#playerRows tr', { hasText: 'Griefer' });
    await row.getByRole('button', { name: 'Kick' }).click();
    await griefer.closedPromise;
    await page.locator('#logView div', { hasText: 'ADMIN account=alice KICK connId=' }).waitFor();
    await page.fill('#banIp', '198.51.100.30');
    await page.fill('#banName', 'Mallory');
    await page.click('#banForm button[type=submit]');
    await page.click('#confirmYes');
    const banRow = page.locator('#banRows tr', { hasText: '198.51.100.30' });
    await banRow.waitFor();
    await page.locator('#logView div', { hasText: 'ADMIN account=alice BAN ip=198.51.100.30' }).waitFor();

    // Another site's page posts a form (a JSON body in text/plain) to the API in the same
    // browser, while the session is open: refused, and the ban stays.
    const sitePort = await freePort();
    const site = http.createServer((req, res) => {
        res.setHeader('Content-Type', 'text/html');
        res.end(`<form method="post" action="${admin}/api/unban" enctype="text/plain">` +
                `<input name='{"ip":"198.51.100.30","x":"' value='"}'></form>` +
                '<script>document.forms[0].submit()</script>');
    });
    await new Promise((resolve) => site.listen(sitePort, '127.0.0.1', resolve));
    cleanups.push(() => new Promise((resolve) => site.close(resolve)));
    const attack = await context.newPage();
    const answered = attack.waitForResponse((r) => r.url().endsWith('/api/unban'));
    await attack.goto(`http://127.0.0.1:${sitePort}/`);
    assert.ok([401, 403].includes((await answered).status()), 'the form post is refused');
    await attack.close();
    await page.locator('#logView div', { hasText: 'ADMIN account=alice BAN' }).waitFor();
    assert.ok(!relay.logLines().some((l) => l.includes('UNBAN')), 'nothing was unbanned');
    assert.ok(await banRow.isVisible());

    // Logout: the login view again, and the session's cookie no longer opens anything.
    await page.click('#logout');
    await page.locator('#loginView[open]').waitFor();
    assert.equal(await page.evaluate(async () => (await fetch('/api/state')).status), 401);
    await relay.waitLog('INFO ADMIN LOGOUT account=alice');

    // A viewer sees players and bans, without a button that would change them.
    await logIn('vera', 'vera-password-1');
    await page.locator('#accountName', { hasText: 'vera (viewer)' }).waitFor();
    const carol = await relay.join({ room: 'P_lobby', name: 'Carol' });
    const carolRow = page.locator('#playerRows tr', { hasText: 'Carol' });
    await carolRow.waitFor();
    assert.ok(await carolRow.getByRole('button', { name: 'Kick' }).isHidden(), 'no kick');
    assert.ok(await banRow.getByRole('button', { name: 'Unban' }).isHidden(), 'no unban');
    assert.ok(await page.locator('#banForm').isHidden(), 'no ban form');
    carol.close();
    assert.deepEqual(pageErrors, []);
});

test('the admin page of a cluster node lists the players of every node and kicks one held elsewhere',
     { skip: !fs.existsSync(CHROMIUM) && 'chromium is not installed' }, async () => {
    const redis = await startRedis(cleanups);
    const nodes = [];
    for (const nodeName of ['node1', 'node2']) {
        const relay = await Relay.start({ cleanups, config: { clusterRedis: `127.0.0.1:${redis.port}`, nodeName } });
        // logText: a run on Redis leaves the cluster's lines out of logLines().
        await waitFor(() => relay.logText().includes('INFO cluster: linked to Redis'), 'linked');
        nodes.push(relay);
    }
    const here = await nodes[0].join({ room: 'c_room', name: 'Near' });
    const there = await nodes[1].join({ room: 'c_room', name: 'Far' });
    const context = await launchChromium(cleanups);
    const page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(15000);
    await page.goto(`http://127.0.0.1:${nodes[0].adminPort}/`);
    const row = page.locator('#clusterPlayerRows tr', { hasText: 'Far' });
    await row.waitFor();
    assert.deepEqual((await row.locator('td').allTextContents()).slice(0, 4), ['node2', 'Far', '127.0.0.1', 'c_room']);
    await page.locator('#clusterPlayerRows tr', { hasText: 'Near' }).waitFor();
    assert.equal(await page.textContent('#clusterPlayerCount'), '2');
    await row.getByRole('button', { name: 'Kick' }).click();
    await there.closedPromise;
    await row.waitFor({ state: 'detached' });
    assert.equal(here.readyState, here.OPEN, 'the player on this node stays');
    here.close();
});
