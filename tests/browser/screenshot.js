// A picture of the viewer's page once everything it shows is drawn, for the
// demo and the README.
//
//   node screenshot.js PAGE_URL OUTPUT.png
'use strict';

const fs = require('fs');
const { launchBrowser, settled } = require('./harness');

async function main() {
  const [url, output] = process.argv.slice(2);
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(url);
    await settled(page);
    fs.writeFileSync(output, await page.screenshot());
  } finally {
    await browser.close();
  }
}

main().catch(error => {
  console.error(`screenshot failed: ${error.stack || error}`);
  process.exit(1);
});
