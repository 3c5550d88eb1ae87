// The viewer in a real browser: the page on the sample service draws its
// map, shows a feature type's features, and answers a click on a city with
// its feature information, both from the map and from the features.
//
//   node viewer_test.js OGCWEB PLUGIN SOURCE_DIR [SCREENSHOT]
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const { startSample, startListening, launchBrowser, settled, scratch } = require('./harness');

const [ogcweb, plugin, source, screenshot] = process.argv.slice(2);
// Riverton, a city of the sample data.
const riverton = [49.1, 10.9];

// Pixels of a PNG that differ from the map's empty background, counted by
// the page itself from the screenshot.
async function drawnPixels(page, png) {
  return page.evaluate(async data => {
    const image = new Image();
    image.src = `data:image/png;base64,${data}`;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const pixels = context.getImageData(0, 0, image.width, image.height).data;
    let drawn = 0;
    for (let i = 0; i < pixels.length; i += 4)
      if (Math.abs(pixels[i] - 0xe8) + Math.abs(pixels[i + 1] - 0xee) + Math.abs(pixels[i + 2] - 0xf2) > 30) ++drawn;
    return drawn / (pixels.length / 4);
  }, png.toString('base64'));
}

async function clickAt(page, latlng) {
  const point = await page.evaluate(([lat, lng]) => {
    const p = window.viewer.map.latLngToContainerPoint([lat, lng]);
    const box = document.getElementById('map').getBoundingClientRect();
    return { x: box.left + p.x, y: box.top + p.y };
  }, latlng);
  await page.mouse.click(point.x, point.y);
}

async function popupText(page) {
  await page.waitForFunction(() => {
    const popup = document.querySelector('.leaflet-popup-content');
    return popup && !/Asking/.test(popup.textContent) && popup.textContent.length > 0;
  }, { timeout: 30000 });
  const text = await page.$eval('.leaflet-popup-content', node => node.textContent);
  await page.evaluate(() => window.viewer.map.closePopup());
  return text;
}

async function main() {
  const sample = startSample(source);
  const work = scratch('ogcweb-browser-viewer-');
  let viewer = null, browser = null;
  try {
    viewer = await startListening(ogcweb, ['serve', `${sample.url}/wms`, '--service', `wfs=${sample.url}/ows`,
                                           '--port', '0', '--plugin', plugin, '--log', path.join(work, 'ogcweb.log'),
                                           '--temp', work], 30);
    browser = await launchBrowser();
    const page = await browser.newPage();
    await page.setViewport({ width: 1200, height: 800 });
    const errors = [];
    page.on('pageerror', error => errors.push(error.message));
    await page.goto(`${viewer.url}/`);
    await settled(page);

    // The map is drawn.
    const shot = await (await page.$('#map')).screenshot();
    if (screenshot) fs.writeFileSync(screenshot, shot);
    const share = await drawnPixels(page, shot);
    assert.ok(share > 0.1, `the map is nearly blank: ${(share * 100).toFixed(1)} % of it drawn`);

    // A click on Riverton asks the map service about it.
    await clickAt(page, riverton);
    const info = await popupText(page);
    assert.match(info, /Riverton/, `feature information: ${info}`);

    // The cities, switched on, drawn as the service has them.
    const data = JSON.parse(fs.readFileSync(path.join(source, 'demo/data/cities.geojson'), 'utf8'));
    await page.click('.dataset[data-name="Cities"] > label input');
    await settled(page);
    const drawn = await page.$$eval('.leaflet-features-pane path', nodes => nodes.length);
    assert.strictEqual(drawn, data.features.length, 'cities drawn');
    const note = await page.$eval('.dataset[data-name="Cities"] .note', node => node.textContent);
    assert.match(note, new RegExp(`^${data.features.length} features in view`), note);

    // A click on one of them shows its attributes.
    await clickAt(page, riverton);
    const fields = await popupText(page);
    assert.match(fields, /Riverton/, `attributes: ${fields}`);

    // A condition the engine refuses is shown, and the page goes on.
    await page.type('.dataset[data-name="Cities"] .filter input', 'population >>> 1');
    await page.click('.dataset[data-name="Cities"] .filter button');
    await page.waitForFunction(() => document.querySelector('.dataset[data-name="Cities"] .note.error'),
                               { timeout: 30000 });
    const refusal = await page.$eval('.dataset[data-name="Cities"] .note', node => node.textContent);
    assert.match(refusal, /refused/, refusal);
    assert.deepStrictEqual(errors, [], 'errors in the page');
    console.log(`viewer test passed: ${(share * 100).toFixed(0)} % of the map drawn, ${drawn} cities, ` +
                'feature information and attributes of Riverton read');
  } finally {
    if (browser) await browser.close();
    if (viewer) {
      const code = await viewer.stop();
      if (code !== 0) process.exitCode = 1;
    }
    sample.stop();
    fs.rmSync(work, { recursive: true, force: true });
  }
}

main().catch(error => {
  console.error(`viewer test failed: ${error.stack || error}`);
  process.exit(1);
});
