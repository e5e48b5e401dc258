// Reading the relay's Prometheus text in tests: every sample by its series name, labels
// included exactly as written ('tnlrelay_refusals_total{reason="banned"}').
export function parseMetrics(text) {
    const values = new Map();
    for (const line of text.split('\n')) {
        if (!line || line.startsWith('#')) continue;
        const space = line.lastIndexOf(' ');
        values.set(line.slice(0, space), Number(line.slice(space + 1)));
    }
    return values;
}

/** The relay's metrics now, as a Map. */
export async function scrape(relay) {
    const res = await relay.get('/metrics', { admin: true });
    if (res.status !== 200) throw new Error(`/metrics answered ${res.status}`);
    return parseMetrics(res.text);
}
