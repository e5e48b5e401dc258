// The admin page's charts in headless Chromium: after players join and talk, every chart draws
// its series, the headline numbers follow, and the page stays usable at 1280 x 800 and in a
// narrow window. Screenshots of both are kept beside the build.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { BIN, CHROMIUM, Relay, cleanupAfter, launchChromium, waitFor } from './lib/harness.mjs';

const cleanups = cleanupAfter();

/**
 * Pixels of a chart's canvas in a series colour that lie clearly above that series' lowest
 * pixels: a series of zeros draws only a flat line at the bottom and counts nothing.
 */
function seriesPixels(page, id, [r, g, b], aboveBottom = true) {
    return page.$eval(`#${id} canvas`, (canvas, arg) => {
        const { rgb } = arg;
        const ctx = canvas.getContext('2d');
        const { data } = ctx.getImageData(0, 0, canvas.width, canvas.height);
        const rows = [];
        for (let i = 0; i < data.length; i += 4) {
            if (Math.abs(data[i] - rgb[0]) + Math.abs(data[i + 1] - rgb[1]) +
                Math.abs(data[i + 2] - rgb[2]) < 40 && data[i + 3] > 200)
                rows.push(Math.floor(i / 4 / canvas.width));
        }
        const bottom = Math.max(...rows);
        return arg.aboveBottom ? rows.filter((y) => y < bottom - 8).length : rows.length;
    }, { rgb: [r, g, b], aboveBottom });
}

const BLUE = [0x5a, 0xa9, 0xff];
const GREEN = [0x4c, 0xc3, 0x8a];
const AMBER = [0xf0, 0xb4, 0x29];

test('the charts draw players, messages, bytes and loop lag after traffic',
     { skip: !fs.existsSync(CHROMIUM) && 'chromium is not installed' }, async () => {
    const relay = await Relay.start({ cleanups });
    const context = await launchChromium(cleanups, { viewport: { width: 1280, height: 800 } });
    const page = context.pages()[0] ?? (await context.newPage());
    page.setDefaultTimeout(15000);
    const pageErrors = [];
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    await page.goto(`http://127.0.0.1:${relay.adminPort}/`);
    await page.locator('#status', { hasText: 'connected' }).waitFor();
    assert.equal(await page.locator('#chartsNote').isHidden(), true, 'the chart library is inlined');
    assert.equal(await page.locator('#charts canvas').count(), 4);

    // A line at no players first, so that the players' line rises from it: a series that is
    // flat from its first sample has no pixels above its lowest.
    await waitFor(async () => (await seriesPixels(page, 'chartPlayers', BLUE, false)) > 20,
                  'the empty relay drawn');

    // Three players; one talks for a few seconds so that several samples carry traffic.
    const players = [];
    for (const name of ['a', 'b', 'c']) players.push(await relay.join({ room: 'P_c', player: name }));
    const talk = setInterval(() => {
        for (let i = 0; i < 20; i++) players[0].send('x'.repeat(200));
    }, 50);
    cleanups.push(() => clearInterval(talk));
    await page.locator('#nowPlayers', { hasText: /^3$/ }).waitFor();
    await waitFor(async () => (await page.textContent('#nowMessages')) !== '0', 'messages per second');
    // Each series rises as its samples arrive, the received ones at half the relayed ones' height
    // (each message reaches two players): wait for all of them while the talk goes on.
    await waitFor(async () => (await seriesPixels(page, 'chartMessages', GREEN)) > 50,
                  'the relayed messages drawn');
    await waitFor(async () => (await seriesPixels(page, 'chartMessages', BLUE)) > 50,
                  'the received messages drawn');
    await waitFor(async () => (await seriesPixels(page, 'chartBytes', GREEN)) > 50,
                  'the relayed bytes drawn');
    await waitFor(async () => (await seriesPixels(page, 'chartPlayers', BLUE)) > 50,
                  'the players drawn');
    clearInterval(talk);
    // Loop lag is never zero but may be flat: any drawn line counts.
    assert.ok(await seriesPixels(page, 'chartLag', AMBER, false) > 20, 'the loop lag drawn');
    assert.match(await page.textContent('#nowBytes'), /B$/);
    assert.match(await page.textContent('#nowLag'), /ms$/);

    // At 1280 x 800 the charts sit in one row above the tables, all in view.
    const boxes = await page.$$eval('#charts .chart', (els) => els.map((e) => e.getBoundingClientRect().toJSON()));
    assert.ok(boxes.every((b) => Math.abs(b.top - boxes[0].top) < 1), 'one row');
    assert.ok(boxes.every((b) => b.right <= 1280 && b.bottom < 400), 'in view, leaving room for the tables');
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 1280), 'no sideways scroll');
    fs.mkdirSync(path.dirname(BIN), { recursive: true });
    await page.screenshot({ path: path.join(path.dirname(BIN), 'admin-charts.png') });

    // Narrow: one chart per row, each as wide as the window allows, nothing wider than it.
    await page.setViewportSize({ width: 420, height: 800 });
    await waitFor(async () => {
        const widths = await page.$$eval('#charts canvas', (els) => els.map((e) => e.getBoundingClientRect().width));
        return widths.every((w) => w > 300 && w <= 420);
    }, 'the charts to fit the narrow window');
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 420), 'no sideways scroll');
    await page.screenshot({ path: path.join(path.dirname(BIN), 'admin-charts-narrow.png'), fullPage: true });
    for (const p of players) p.close();
    assert.deepEqual(pageErrors, []);
});
