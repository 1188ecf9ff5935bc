// The page's steps at desktop and phone width, for docs/ (./scripts/web --screenshots serves the
// site and runs this with Debian's chromium):  node web-screenshots.js SITE-URL OUT-DIR
"use strict";

const path = require("path");
const puppeteer = require("puppeteer-core");

(async () => {
    const [base, out] = process.argv.slice(2);
    const browser = await puppeteer.launch({ executablePath: process.env.QUARNEL_CHROMIUM || "/usr/bin/chromium",
                                             headless: true, args: ["--headless=new", "--no-sandbox", "--disable-gpu"] });
    const page = await browser.newPage();
    const until = (fn, timeout = 60000) => page.waitForFunction(fn, { timeout, polling: 50 });
    for (const [tag, width, height] of [["desktop", 1366, 768], ["phone", 390, 844]]) {
        // The desktop pictures show one screen, the phone ones the whole page.
        const shot = (name) => page.screenshot({ path: path.join(out, `web-${name}-${tag}.png`), fullPage: tag === "phone" });
        await page.setViewport({ width, height });
        await page.goto(base + "index.html");
        await until(() => document.body.dataset.ready === "1");
        await shot("1-connect");
        await page.goto(base + "index.html?demo=pic18&manifest=examples/manifest.json");
        await until(() => !document.getElementById("flash").disabled);
        await shot("2-board-firmware");
        await page.click("#flash");
        await until(() => document.getElementById("progress").value > 400);
        await shot("4-flashing");
        await until(() => document.body.dataset.result !== "", 120000);
        await shot("5-result");
    }
    await browser.close();
    console.log("Pictures in " + out + ": web-{1-connect,2-board-firmware,4-flashing,5-result}-{desktop,phone}.png");
})().catch((e) => {
    console.log(e && e.stack || e);
    process.exit(1);
});
