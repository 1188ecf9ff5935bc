// Drives the page in headless Chromium for one test case; exits 0 when it passed, 1 when it failed,
// 77 when it cannot run here (no chromium, no built site or no puppeteer-core).
//   node run.js --site DIR --repo DIR --quarnel EXE --case NAME
"use strict";

const fs = require("fs");
const http = require("http");
const os = require("os");
const path = require("path");
const { execFileSync } = require("child_process");

const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
const chromium = process.env.QUARNEL_CHROMIUM || "/usr/bin/chromium";
const skip = (why) => {
    console.log("SKIPPED: " + why);
    process.exit(77);
};
if (!fs.existsSync(chromium)) skip(chromium + " is missing (./scripts/web --test installs chromium)");
if (!args.site || !fs.existsSync(path.join(args.site, "quarnel.wasm"))) skip("no built site: run ./scripts/web");
let puppeteer;
try {
    puppeteer = require("puppeteer-core");
} catch (e) {
    skip("puppeteer-core is not installed (./scripts/web --test installs it)");
}

const Examples = { pic16: "examples/pic16/blink16.hex", pic18: "examples/pic18/blink18.hex",
                   pic24: "examples/pic24/blink24.hex", pic32: "examples/pic32/blink32.hex" };
const Types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm",
                ".json": "application/json", ".webmanifest": "application/manifest+json", ".svg": "image/svg+xml",
                ".png": "image/png" };

let failures = 0;
const check = (ok, what) => {
    console.log((ok ? "ok   " : "FAIL ") + what);
    if (!ok) failures++;
};

// The site on 127.0.0.1, on a port of its own, open to other origins (CORS); extra holds files made
// by a test ({"/name": text}). "/" is the site's index.html, as a static server gives it.
const extra = {};
const serve = (root) => new Promise((resolve) => {
    const server = http.createServer((req, res) => {
        const name = decodeURIComponent(new URL(req.url, "http://x").pathname);
        res.setHeader("Access-Control-Allow-Origin", "*");
        if (extra[name] !== undefined) {
            res.writeHead(200, { "Content-Type": Types[path.extname(name)] || "application/octet-stream" });
            return res.end(extra[name]);
        }
        const file = path.join(path.resolve(root), name === "/" ? "index.html" : name);
        if (!file.startsWith(path.resolve(root)) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
            res.writeHead(404);
            return res.end();
        }
        res.writeHead(200, { "Content-Type": Types[path.extname(file)] || "application/octet-stream" });
        fs.createReadStream(file).pipe(res);
    });
    server.listen(0, "127.0.0.1", () => resolve(server));
});

// The CLI's run of the same file on the same virtual board: its log (stdout) and the board's flash.
const cliRun = (family, file, extra = []) => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), "quarnel-web-"));
    let out;
    try {
        out = execFileSync(args.quarnel, ["flash", file, "--simulate", family, "--sim-dump", dir + "/board", ...extra],
                           { cwd: args.repo, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"],
                             env: { ...process.env, HOME: dir } });
    } catch (e) {
        out = e.stdout;  // a failed run exits non-zero; its log is what counts here
    }
    const dump = (name) => (fs.existsSync(name) ? fs.readFileSync(name).toString("base64") : "");
    const result = { log: out, flash: dump(dir + "/board-flash.bin"), boot: dump(dir + "/board-boot.bin") };
    fs.rmSync(dir, { recursive: true, force: true });
    return result;
};

const lines = (text) => text.split("\n").map((l) => l.trimEnd()).filter((l, i, a) => l !== "" || i < a.length - 1);

async function main() {
    const server = await serve(args.site);
    const base = "http://127.0.0.1:" + server.address().port + "/";
    const browser = await puppeteer.launch({
        executablePath: chromium,
        headless: true,
        // insecure.test: the site under a name that is not localhost, over plain http.
        args: ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               "--host-resolver-rules=MAP insecure.test 127.0.0.1"],
    });
    const page = await browser.newPage();
    page.on("pageerror", (e) => console.log("page error: " + e.message));
    if (process.env.QUARNEL_WEB_CONSOLE) page.on("console", (m) => console.log("console: " + m.text()));
    const standIn = async (config) => {
        await page.evaluateOnNewDocument((c) => { window.__standinConfig = c; }, config);
        await page.evaluateOnNewDocument(fs.readFileSync(path.join(__dirname, "hid-standin.js"), "utf8"));
    };
    const result = async (timeoutMs = 120000) => {
        await page.waitForFunction(() => document.body.dataset.result !== "", { timeout: timeoutMs, polling: 50 });
        return page.evaluate(() => document.body.dataset.result);
    };
    const log = () => page.$eval("#log", (e) => e.textContent);
    // The repo's file dropped onto the drop zone under the given name.
    const dropFile = (file, name) => page.evaluate((t, n) => {
        const dt = new DataTransfer();
        dt.items.add(new File([t], n));
        document.getElementById("drop").dispatchEvent(new DragEvent("drop", { dataTransfer: dt, bubbles: true }));
    }, fs.readFileSync(path.join(args.repo, file), "utf8"), name);
    // A link with flash=1 and no demo: the page waits for a click on FLASH, which this then gives.
    const linkThenClick = async (url) => {
        await page.goto(url);
        await page.waitForFunction(() => document.body.dataset.ready === "1" && !document.getElementById("flash").disabled,
                                   { timeout: 60000 });
        await new Promise((r) => setTimeout(r, 300));
        check(await page.evaluate(() => document.body.dataset.result === "" && document.body.dataset.busy !== "1"),
              "the link alone started no flash");
        await page.click("#flash");
    };
    const sameFlash = async (family, file) => {
        const cli = cliRun(family, file);
        check((await page.evaluate(() => __standin.flash())) === cli.flash, "the board holds what the CLI's run leaves");
        if (cli.boot) check((await page.evaluate(() => __standin.boot())) === cli.boot, "its boot flash too");
        return cli;
    };
    const board = () => page.evaluate(() => ({ reports: __standin.reports(), violations: __standin.violations(),
                                               ended: __standin.ended(), disabled: __standin.disabled(),
                                               untouched: __standin.untouched(),
                                               cutAt: __standin.disconnectedAtReport(),
                                               transport: __standin.transportError() }));

    const name = args.case;
    if (name === "demo") {
        const file = Examples.pic18;
        await page.goto(base + "index.html?demo=pic18&file=" + file + "&flash=1");
        check((await result()) === "flashed", "the demo URL flashes (data-result=flashed)");
        const web = lines(await log());
        const cli = lines(cliRun("pic18", file).log);
        const n = Math.min(12, cli.length);
        const same = n > 0 && web.slice(-n).join("\n") === cli.slice(-n).join("\n");
        check(same, "the page's log ends as the CLI's (last " + n + " lines)");
        if (!same) console.log("page:\n" + web.slice(-n).join("\n") + "\ncli:\n" + cli.slice(-n).join("\n"));
    } else if (Examples[name]) {
        await standIn({ family: name });
        const file = Examples[name];
        if (name === "pic16") {
            // The picker and the FLASH button, as a user goes.
            await page.goto(base + "index.html");
            await page.waitForFunction(() => !document.getElementById("flash").disabled ||
                                              document.body.dataset.ready === "1");
            const input = await page.$("#file");
            await input.uploadFile(path.join(args.repo, file));
            await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
            await page.click("#flash");
        } else {
            await linkThenClick(base + "index.html?file=" + file + "&flash=1");
        }
        check((await result(300000)) === "flashed", name + ": " + file + " flashed through the stand-in");
        const b = await board();
        check(b.violations === 0 && b.transport === "", "no protocol or transport violation (" + b.reports + " reports)");
        check(b.ended, "the board's session was ended");
        await sameFlash(name, file);
        const t = await page.evaluate(() => ["runMs", "floorMs", "pauseLateMs"].map((k) => Number(document.body.dataset[k])));
        console.log(`${name}: run ${(t[0] / 1000).toFixed(2)} s, protocol floor ${(t[1] / 1000).toFixed(2)} s, ` +
                    `ratio ${(t[0] / t[1]).toFixed(3)} (target 1.10); pauses ended ${(t[2] / 1000).toFixed(2)} s late in all`);
    } else if (name === "demo_fault") {
        // The demo's settings are the --sim ones: the same fault ends both runs the same way.
        const file = Examples.pic18;
        await page.goto(base + "index.html?demo=pic18&sim=drop-answer=60&file=" + file + "&flash=1");
        check((await result()) === "failed", "the demo with drop-answer=60 fails (data-result=failed)");
        const web = lines(await log());
        const cli = lines(cliRun("pic18", file, ["--sim", "drop-answer=60"]).log);
        const n = Math.min(4, cli.length);
        const same = web.slice(-n).join("\n") === cli.slice(-n).join("\n");
        check(same, "its log ends as the CLI's with --sim drop-answer=60 (last " + n + " lines)");
        if (!same) console.log("page:\n" + web.slice(-n).join("\n") + "\ncli:\n" + cli.slice(-n).join("\n"));
    } else if (name === "connect" || name === "plug") {
        // A board not granted yet: Connect asks for it. A granted board plugged in later: the page
        // connects by itself.
        await standIn({ family: "pic24", granted: name === "plug", plugged: name === "connect" });
        await page.goto(base + "index.html" + (name === "connect" ? "?file=" + Examples.pic24 : ""));
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        if (name === "plug") {
            // The file comes by drag and drop onto the drop zone.
            await dropFile(Examples.pic24, "blink24.hex");
            await page.waitForFunction(() => document.getElementById("file-name").textContent === "blink24.hex");
        }
        check(await page.$eval("#flash", (e) => e.disabled), "no board yet: FLASH is off");
        if (name === "connect") await page.click("#connect");
        else await page.evaluate(() => __standin.plug());
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 20000 });
        check((await page.$eval("#target", (e) => e.textContent)).startsWith("PIC24"), "the target is described");
        await page.click("#flash");
        check((await result()) === "flashed", "flashed after " + (name === "connect" ? "Connect" : "the plug-in"));
    } else if (name === "fault") {
        await standIn({ family: "pic18", settings: "wrong-echo=40" });
        await linkThenClick(base + "index.html?file=" + Examples.pic18 + "&flash=1");
        check((await result()) === "failed", "a wrong echo shows the failure state");
        const b = await board();
        check(!b.ended, "the session was not ended as after a good run");
        check((await log()).includes("Completed."), "the closing steps ran");
    } else if (name === "refused") {
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        const before = (await board()).reports;
        await (await page.$("#file")).uploadFile(path.join(args.repo, "tests/data/hex/pic18_window_high.hex"));
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        check((await result()) === "refused", "a file the bootloader's window refuses shows refused");
        const b = await board();
        check(b.untouched, "the board's flash is untouched");
        check(b.reports === before, "no report reached the board (" + before + " before, " + b.reports + " after)");
    } else if (name === "checksum") {
        // The core's question, asked by the page while the run waits: No (the default) refuses the
        // file, Yes flashes it.
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        await (await page.$("#file")).uploadFile(path.join(args.repo, "tests/data/hex/pic18_bad_checksum.hex"));
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        await page.waitForSelector("#ask[open]");
        check((await page.$eval("#ask-text", (e) => e.textContent)).includes("checksum"), "the page asks about the checksums");
        check(await page.evaluate(() => document.activeElement.value === "no"), "the question has the focus on No");
        await page.keyboard.press("Enter");
        check((await result()) === "refused", "No refuses the file");
        check((await board()).untouched, "the board's flash is untouched");
        await page.click("#reset");
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 10000 });
        await page.click("#flash");
        await page.waitForSelector("#ask[open]");
        await page.click("#ask button[value=yes]");
        check((await result()) === "flashed", "Yes flashes it");
        check(!(await board()).untouched && (await board()).violations === 0, "the board took it without a violation");
    } else if (name === "disconnect") {
        await standIn({ family: "pic18", disconnectAt: 300 });
        const started = Date.now();
        await linkThenClick(base + "index.html?file=" + Examples.pic18 + "&flash=1");
        check((await result()) === "failed", "a board unplugged mid-run fails the run");
        const b = await board();
        check(b.cutAt > 0 && b.reports === b.cutAt, "no report reached the board after the disconnect");
        const text = await log();
        check(text.includes("Flashing failed: target unplugged!"), "the log says the target was unplugged");
        console.log("disconnect: run ended " + ((Date.now() - started) / 1000).toFixed(2) + " s after the page opened");
    } else if (name === "disable") {
        await standIn({ family: "pic18" });
        await page.goto(base + "index.html?file=" + Examples.pic18);
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        await page.click("#disable");
        await page.waitForSelector("#ask[open]");
        check(await page.evaluate(() => document.activeElement.value === "no"), "the question has the focus on No");
        await page.keyboard.press("Enter");  // the default answer
        await page.waitForFunction(() => !document.getElementById("ask").open);
        check(!(await page.$eval("#disable", (e) => e.checked)), "No is the default: the option stays off");
        await page.click("#disable");
        await page.waitForSelector("#ask[open]");
        await page.click("#ask button[value=yes]");
        await page.waitForFunction(() => document.getElementById("disable").checked);
        await page.click("#flash");
        check((await result()) === "flashed", "flashed with the option on");
        check((await board()).disabled, "the board's bootloader was disabled");
    } else if (name === "page") {
        // The page as a phone user, a keyboard user and axe-core meet it: before, during and after a
        // run, in the dark scheme and the light one; then its log saved, and plain http.
        let axeSource;
        try {
            axeSource = fs.readFileSync(require.resolve("axe-core/axe.min.js"), "utf8");
        } catch (e) {
            skip("axe-core is not installed (./scripts/web --test installs it)");
        }
        const audit = async (when) => {
            if (!(await page.evaluate(() => !!window.axe))) await page.evaluate(axeSource);
            const v = await page.evaluate(async () => (await axe.run(document)).violations
                .map((v) => v.id + " at " + v.nodes.map((n) => n.target.join(" ")).join(", ")));
            check(v.length === 0, "axe-core finds no violation " + when + (v.length ? ": " + v.join("; ") : ""));
            const width = await page.evaluate(() => document.documentElement.scrollWidth);
            check(width <= 360, "360 px wide, no horizontal scroll " + when + " (" + width + " px)");
        };
        await page.setViewport({ width: 360, height: 740 });
        await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "dark" }]);
        await page.goto(base + "index.html?demo=pic18");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        check((await page.evaluate(() => getComputedStyle(document.body).backgroundColor)) === "rgb(21, 24, 29)",
              "the dark scheme is followed");
        await audit("before a run (dark)");
        let tabs = 0;
        while (tabs < 40 && !(await page.evaluate(() => document.activeElement.id === "choose"))) {
            await page.keyboard.press("Tab");
            tabs++;
        }
        check(tabs < 40, "Tab reaches the file chooser (" + tabs + " presses)");
        const chosen = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "quarnel-web-")), "chosen18.hex");
        fs.copyFileSync(path.join(args.repo, Examples.pic18), chosen);
        const [chooser] = await Promise.all([page.waitForFileChooser({ timeout: 5000 }), page.keyboard.press("Enter")]);
        await chooser.accept([chosen]);
        await page.waitForFunction(() => document.getElementById("file-name").textContent === "chosen18.hex");
        await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: "light" }]);
        await page.click("#flash");
        await page.waitForFunction(() => document.getElementById("progress").value > 50, { timeout: 60000 });
        check(/^\d+ %$/.test(await page.$eval("#percent", (e) => e.textContent)) &&
              (await page.$eval("#stage", (e) => e.textContent)) === "Erasing flash memory.",
              "the run shows its stage and percent");
        await audit("during a run (light)");
        check((await result()) === "flashed", "the chosen file flashed");
        await audit("after a run");
        // The log saved as quarnel-<time>.log, with what the page shows.
        const downloads = fs.mkdtempSync(path.join(os.tmpdir(), "quarnel-web-"));
        await (await page.target().createCDPSession()).send("Browser.setDownloadBehavior",
                                                            { behavior: "allow", downloadPath: downloads });
        await page.click("#log-save");
        let saved = [];
        for (let i = 0; i < 100 && saved.length === 0; i++) {
            await new Promise((r) => setTimeout(r, 50));
            saved = fs.readdirSync(downloads).filter((f) => /^quarnel-\d{8}-\d{6}\.log$/.test(f));
        }
        check(saved.length === 1 && fs.readFileSync(path.join(downloads, saved[0]), "utf8") === (await log()),
              "the log is saved as " + (saved[0] || "quarnel-<time>.log"));
        await page.goto("http://insecure.test:" + server.address().port + "/index.html");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        check((await page.$eval("#support", (e) => e.textContent)).includes("needs HTTPS or localhost"),
              "over plain http the page says WebHID needs HTTPS or localhost");
    } else if (name === "lockup") {
        // A file chosen and another dropped while a run goes on: the run still ends with its result,
        // the buttons come back and the next run takes the last file.
        await standIn({ family: "pic18" });
        await linkThenClick(base + "index.html?file=" + Examples.pic18);
        await page.waitForFunction(() => document.getElementById("progress").value > 10, { timeout: 60000 });
        await (await page.$("#file")).uploadFile(path.join(args.repo, Examples.pic18));
        await dropFile(Examples.pic18, "dropped18.hex");
        check(await page.evaluate(() => document.body.dataset.busy === "1"), "both files came while the run went on");
        check((await result(300000)) === "flashed", "the run still ends flashed");
        await page.waitForFunction(() => document.getElementById("file-name").textContent === "dropped18.hex");
        check(await page.evaluate(() => ["connect", "reset"].every((id) => !document.getElementById(id).disabled)),
              "Connect and Reset come back");
        await page.click("#reset");
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 20000 });
        await page.click("#flash");
        check((await result(300000)) === "flashed" && (await log()).includes("Parsing HEX file: dropped18.hex"),
              "FLASH comes back and flashes the dropped file");
    } else if (name === "links") {
        // A link naming another site's file with flash=1: the file is shown and used only after a
        // Yes, and even then nothing is flashed without a click.
        await standIn({ family: "pic18" });
        const foreign = "http://localhost:" + server.address().port + "/" + Examples.pic18;
        const url = base + "index.html?file=" + encodeURIComponent(foreign) + "&flash=1";
        for (const answer of ["no", "yes"]) {
            await page.goto(url);
            await page.waitForSelector("#ask[open]");
            check((await page.$eval("#ask-detail", (e) => e.textContent)) === foreign, "the other site's URL is shown");
            if (answer === "no") await page.keyboard.press("Enter");
            else await page.click("#ask button[value=yes]");
            await page.waitForFunction(() => document.body.dataset.ready === "1");
        }
        const before = (await board()).reports;
        await page.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 20000 });
        await new Promise((r) => setTimeout(r, 1000));
        check((await page.evaluate(() => document.body.dataset.result)) === "" && (await board()).reports === before &&
              (await board()).untouched, "after Yes the file waits for FLASH: nothing reached the board");
        await page.click("#flash");
        check((await result()) === "flashed", "the click flashes it");
        await page.goto(url);
        await page.waitForSelector("#ask[open]");
        await page.keyboard.press("Enter");
        await page.waitForFunction(() => document.body.dataset.ready === "1");
        check((await page.$eval("#file-name", (e) => e.textContent)) === "Not used: " + foreign &&
              (await page.$eval("#flash", (e) => e.disabled)), "after No the file is not used");
    } else if (name === "manifest") {
        // The example list gives each board its build: two families through the demo link.
        for (const family of ["pic18", "pic32"]) {
            await page.goto(base + "index.html?demo=" + family + "&manifest=examples/manifest.json&flash=1");
            check((await result()) === "flashed", family + ": the manifest's build flashed");
            const file = Examples[family];
            check((await page.$eval("#file-name", (e) => e.textContent)) === path.basename(file), "it was " + file);
            const cli = lines(cliRun(family, file).log);
            check(lines(await log()).slice(-8).join("\n") === cli.slice(-8).join("\n"), "the log ends as the CLI's");
        }
        // The build for this board's descriptor is taken before the family's; its hash is wrong.
        const hex = fs.readFileSync(path.join(args.repo, Examples.pic18));
        const sum = require("crypto").createHash("sha256").update(hex).digest("hex");
        extra["/lists/wrong.json"] = JSON.stringify({ name: "Test", version: "2", builds: [
            { family: "PIC18", hex: "../examples/pic18/blink18.hex", sha256: sum },
            { family: "pic18", descriptor: "Virtual PIC18", hex: "../examples/pic18/blink18.hex", sha256: "0".repeat(64) }] });
        extra["/lists/pic32.json"] = JSON.stringify({ name: "Test", version: "3", builds: [
            { family: "PIC32", hex: "../" + Examples.pic32, sha256: sum }] });
        for (const [list, says] of [["wrong", "Refused: " + base + Examples.pic18 + " does not have the SHA-256"],
                                    ["pic32", "No build of Test 3 fits this board (PIC18, boot start 0xF000"]]) {
            await page.goto(base + "index.html?demo=pic18&manifest=lists/" + list + ".json&flash=1");
            check((await result()) === "refused", list + ": nothing flashed (data-result=refused)");
            const text = await page.$eval("#manifest-info", (e) => e.textContent);
            check(text.startsWith(says), list + ": the page says \"" + text + "\"");
            check(!(await log()).includes("Parsing HEX file"), list + ": no run began");
        }
        // A file the board refuses because it is for another family says so.
        await page.goto(base + "index.html?demo=pic18&file=" + Examples.pic32 + "&flash=1");
        check((await result()) === "refused" && (await page.$eval("#next", (e) => e.textContent))
            .startsWith("This file is made for PIC32, not for this PIC18 board."), "a PIC32 file on a PIC18 board: the family is named");
    } else if (name === "offline") {
        // Once the page was open, it reloads with the server gone and the network off, and the demo
        // with the manifest's firmware flashes.
        const url = base + "index.html?demo=pic18&manifest=examples/manifest.json";
        await page.goto(url);
        await page.evaluate(() => navigator.serviceWorker.ready.then(() => true));
        server.closeAllConnections();
        server.close();
        await page.setOfflineMode(true);
        await page.goto(url + "&flash=1");
        check((await result()) === "flashed", "the page reloaded offline flashes the manifest's build");
        check((await page.$eval("#file-name", (e) => e.textContent)) === "blink18.hex" &&
              (await page.evaluate(() => !!navigator.serviceWorker.controller)), "the PIC18 build, through the worker");
    } else if (name === "single_file") {
        // The page in one file, alone in a folder, opened from disk.
        const dir = fs.mkdtempSync(path.join(os.tmpdir(), "quarnel-web-"));
        fs.copyFileSync(path.join(args.site, "quarnel-flash.html"), path.join(dir, "quarnel-flash.html"));
        await page.goto("file://" + dir + "/quarnel-flash.html?demo=pic18&flash=1");
        check((await result()) === "flashed", "the single file from file:// flashes the demo");
        check((await page.$eval("#file-name", (e) => e.textContent)) === "blink18.hex", "with the PIC18 example inside");
        check((await page.$eval("#notice", (e) => e.textContent)).includes("cannot be installed or kept for offline use"),
              "it says what cannot work from a file");
        check((await page.$eval("#support", (e) => e.textContent)) === "WebHID ready", "WebHID is offered there");
        fs.rmSync(dir, { recursive: true, force: true });
        // The site's own index.html from disk cannot load its wasm, and says where to go instead.
        await page.goto("file://" + path.resolve(args.site) + "/index.html");
        await page.waitForSelector("#message[open]");
        check((await page.$eval("#message-text", (e) => e.textContent)).includes("open quarnel-flash.html"),
              "index.html from disk points to the single file");
    } else if (name === "udev") {
        // A board found that may not be opened (Linux without the rule): the rule to install, the
        // package's own, with a copy button; the log copies too.
        await standIn({ family: "pic18", openFails: true });
        await browser.defaultBrowserContext().overridePermissions(base, ["clipboard-read", "clipboard-sanitized-write"]);
        await page.goto(base + "index.html");
        await page.waitForSelector("#udev:not([hidden])", { timeout: 20000 });
        const rule = fs.readFileSync(path.join(args.repo, "packaging/linux/70-quarnel-flash.rules"), "utf8")
            .split("\n").filter((l) => l.startsWith("KERNEL"))[0];
        check((await page.$eval("#udev-rule", (e) => e.textContent)) === rule, "the rule shown is the package's");
        for (const [button, text] of [["#udev-copy", rule], ["#log-copy", await log()]]) {
            await page.click(button);
            check((await page.evaluate(() => navigator.clipboard.readText())) === text, button + " copies " +
                  JSON.stringify(text.slice(0, 30)));
        }
    } else if (name === "embed") {
        // A board maker's page with <quarnel-flash manifest=...>: the element's frame offers the build
        // for the connected board, and flashes it on a click.
        await standIn({ family: "pic24" });
        await page.goto(base + "example.html");
        const frame = await (await page.waitForSelector("quarnel-flash >>> iframe")).contentFrame();
        await frame.waitForFunction(() => !document.getElementById("flash").disabled, { timeout: 30000 });
        check((await frame.$eval("#file-name", (e) => e.textContent)) === "blink24.hex", "the PIC24 build is offered");
        await frame.click("#flash");
        await frame.waitForFunction(() => document.body.dataset.result !== "", { timeout: 120000, polling: 50 });
        check((await frame.evaluate(() => document.body.dataset.result)) === "flashed", "flashed in the element");
    } else {
        console.log("unknown case " + name);
        failures++;
    }
    await browser.close();
    if (server.listening) server.close();
    console.log(failures === 0 ? "1 passed, 0 failed" : "0 passed, 1 failed");
    process.exit(failures === 0 ? 0 : 1);
}

main().catch((e) => {
    console.log("FAIL " + (e && e.stack || e));
    process.exit(1);
});
