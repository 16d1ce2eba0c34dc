// End-to-end test of the page's "Check for updates" button: a copy of the real
// program in --browser mode, driven in the system's Chromium, fetches its
// signature feed from a local HTTPS server.
//
//   node tests/api/browser_update_e2e.mjs PROGRAM FEED_BUILDER
//
// The copy's tools folder holds a curl wrapper that passes the program's own
// command line on to the system curl, adding only a --connect-to that sends
// the update host to tests/support/feed_server.py on 127.0.0.1 and the test
// certificate as the only trusted one; proxies and curl's configuration files
// are ignored, so nothing can reach any other address. A stand-in "xdg-open"
// first on PATH records the address the program opens. The whole run is
// bounded in time; every child process is ended on the way out.
import { execFileSync, spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";

import { check, loadChromium, main, openPage, root, scratch, startProgram as startIn, track, waitExit } from "./e2e_harness.mjs";

const UPDATE_HOST = "updates.keltharon.example";
const FEED_URL = "https://" + UPDATE_HOST + "/antivirus/signatures.avsg";

const [program, feedBuilder] = process.argv.slice(2);
if (!program || !fs.existsSync(program) || !feedBuilder || !fs.existsSync(feedBuilder)) {
  console.error("usage: browser_update_e2e.mjs PROGRAM FEED_BUILDER");
  process.exit(2);
}

const chromium = loadChromium(["/usr/bin/curl", "/usr/bin/openssl", "/usr/bin/python3"]);
// A scratch area: the program's copy with its tools folder, data directory,
// home, the stand-in opener, the server's certificate and control folder.
const s = scratch("kav-update-e2e-", 150);
const { tmp, dataDir } = s;
const programDir = path.join(tmp, "program");
const exe = path.join(programDir, "keltharon-antivirus");
const curlWrapper = path.join(programDir, "tools", "curl");
const serverDir = path.join(tmp, "server");
const control = path.join(serverDir, "control");
const scanDir = path.join(tmp, "downloads");
for (const d of [path.dirname(curlWrapper), control, scanDir]) fs.mkdirSync(d, { recursive: true });
fs.copyFileSync(program, exe);
fs.chmodSync(exe, 0o755);

const live = path.join(dataDir, "signatures.avsg");
function leftovers() {
  return [live + ".new", live + ".new.part"].filter((f) => fs.existsSync(f));
}

// Feeds made by the feed builder from a list of digests.
function buildFeed(name, version, digests) {
  const list = path.join(tmp, name + ".txt");
  const out = path.join(tmp, name + ".avsg");
  fs.writeFileSync(list, digests.map((d) => d.hex + " " + d.name + "\n").join(""));
  execFileSync(feedBuilder, [list, out, String(version)], { timeout: 30000, stdio: ["ignore", "ignore", "inherit"] });
  return fs.readFileSync(out);
}
function digestsOf(prefix, n, name) {
  return Array.from({ length: n }, (_, i) => ({ hex: crypto.createHash("sha256").update(prefix + i).digest("hex"), name }));
}
// A file only the newer feed knows, to show the live database took it.
const fresh = path.join(scanDir, "fresh-sample.bin");
fs.writeFileSync(fresh, "a sample first listed in the newer feed\n" + crypto.randomBytes(16).toString("hex"));
const freshDigest = { hex: crypto.createHash("sha256").update(fs.readFileSync(fresh)).digest("hex"), name: "Test.Fresh-Feed" };
const OLD_VERSION = 1700000000, NEW_VERSION = 1800000000, NEW_COUNT = 1234;
const oldFeed = buildFeed("old", OLD_VERSION, digestsOf("old sample ", 3, "Test.Old-Feed"));
const newFeed = buildFeed("new", NEW_VERSION, [freshDigest, ...digestsOf("new sample ", NEW_COUNT - 1, "Test.New-Feed")]);

// The local feed server, with a certificate made for the update host now.
function startServer() {
  const cert = path.join(serverDir, "cert.pem"), key = path.join(serverDir, "key.pem");
  execFileSync("/usr/bin/openssl", ["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
    "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + UPDATE_HOST, "-addext", "subjectAltName=DNS:" + UPDATE_HOST],
    { timeout: 30000, stdio: "ignore" });
  const child = track(spawn("/usr/bin/python3", [path.join(root, "tests/support/feed_server.py"), cert, key, control],
    { stdio: ["ignore", "pipe", "inherit"] }));
  return new Promise((resolve, reject) => {
    let out = "";
    const timer = setTimeout(() => reject(new Error("the feed server did not report its port within 20 s")), 20000);
    child.stdout.on("data", (d) => {
      out += d;
      const port = parseInt(out, 10);
      if (out.includes("\n") && port > 0) {
        clearTimeout(timer);
        resolve({ port, cert });
      }
    });
    child.on("exit", () => reject(new Error("the feed server ended early")));
  });
}
const setMode = (mode) => fs.writeFileSync(path.join(control, "mode"), mode);
const setBody = (body) => fs.writeFileSync(path.join(control, "body"), body);
const requestCount = () => {
  const log = path.join(control, "requests.log");
  return fs.existsSync(log) ? (fs.readFileSync(log, "utf8").match(/^GET /gm) || []).length : 0;
};

const startProgram = () => startIn(exe, s);

async function run() {
  const server = await startServer();
  fs.writeFileSync(curlWrapper,
    "#!/bin/sh\n" +
    `printf '%s\\n' "$@" >> '${curlWrapper}.args'\n` +
    `exec /usr/bin/curl -q --noproxy '*' --connect-to ${UPDATE_HOST}:443:127.0.0.1:${server.port} --cacert '${server.cert}' "$@"\n`,
    { mode: 0o755 });

  const { page, pageErrors } = await openPage(chromium, { viewport: { width: 1280, height: 820 }, locale: "en-US" });

  const { child, url } = await startProgram();
  await page.goto(url);
  await page.waitForFunction(() => document.getElementById("ver").textContent === "1.0.14");
  check((await page.textContent("#sigCount")).trim() === "0 known", "without a feed the page shows 0 signatures");
  await page.click("#nav-settings");
  const versionText = (v) => page.evaluate((v) => new Date(v * 1000).toLocaleString(), v);

  // Records every state of the button, so the short "Checking…" phase is seen
  // however fast the reply comes.
  await page.evaluate(() => {
    const b = document.getElementById("updateBtn");
    window.buttonStates = [];
    new MutationObserver(() => window.buttonStates.push(b.textContent + (b.disabled ? " (disabled)" : "")))
      .observe(b, { attributes: true, childList: true, characterData: true, subtree: true });
  });
  // Clicks the button and resolves with the update reply's status once the
  // page has shown its message.
  async function clickUpdate(selector = "#updateBtn") {
    await page.evaluate(() => { document.getElementById("toast").textContent = ""; window.buttonStates.length = 0; });
    const reply = page.waitForResponse((r) => r.url().endsWith("/api/update") && r.request().method() === "POST", { timeout: 60000 });
    await page.click(selector);
    const status = (await reply).status();
    await page.waitForFunction(() => document.getElementById("toast").textContent !== "");
    return status;
  }

  // No feed at all yet: the definitions line offers the download itself.
  check((await page.textContent("#defs")) === "No signature database yet — click to download.", "without a feed the definitions line offers a download");
  setMode("serve");
  setBody(oldFeed);
  check((await clickUpdate("#defs")) === 200, "clicking the definitions line runs an update");
  check((await page.textContent("#toast")) === "Definitions up to date", "the first download says \"Definitions up to date\"");
  await page.waitForFunction(() => document.getElementById("sigCount").textContent.trim() === "3 known");
  check((await page.textContent("#defs")) === "Version " + (await versionText(OLD_VERSION)) + " · 3 signatures",
    "the definitions line shows the first feed's version and count");
  check(Buffer.compare(fs.readFileSync(live), oldFeed) === 0 && leftovers().length === 0, "the first feed is installed with nothing left beside it");
  await page.click("#defs");
  await page.waitForTimeout(300);
  check(requestCount() === 1, "once a feed is loaded the definitions line no longer starts an update");
  fs.rmSync(curlWrapper + ".args");

  // A newer valid feed on the server.
  setBody(newFeed);
  const before = requestCount();
  check((await clickUpdate()) === 200, "the update route answers 200 for a valid feed");
  check((await page.textContent("#toast")) === "Definitions up to date", "the page says \"Definitions up to date\"");
  const states = await page.evaluate(() => window.buttonStates.join(" | "));
  check(states === "Checking… (disabled) | Check for updates",
    "the button reads \"Checking…\" and is disabled until the reply arrives (" + states + ")");
  check(!(await page.isDisabled("#updateBtn")), "the button is enabled again");
  await page.waitForFunction(() => document.getElementById("sigCount").textContent.trim() === "1,234 known");
  check(true, "the page shows the new feed's 1,234 signatures");
  check((await page.textContent("#defs")) === "Version " + (await versionText(NEW_VERSION)) + " · 1,234 signatures",
    "the definitions line shows the new feed's version");
  check(requestCount() === before + 1, "the program fetched the feed from the local server once");
  check(Buffer.compare(fs.readFileSync(live), newFeed) === 0, "the data directory's signatures.avsg is the new feed");
  check(leftovers().length === 0, "no .new or .part file is left");
  const requests = fs.readFileSync(path.join(control, "requests.log"), "utf8");
  check(requests.startsWith("GET /antivirus/signatures.avsg HTTP/1.1\n") && /^User-Agent: KeltharonAntivirus\/1\.0\.14$/m.test(requests),
    "the request is the feed's path with the program's user agent");
  check(fs.readFileSync(curlWrapper + ".args", "utf8") ===
    ["-sS", "-L", "--fail", "--max-time", "600", "-A", "KeltharonAntivirus/1.0.14", "-o", live + ".new.part", "-w", "%{http_code}", FEED_URL, ""].join("\n"),
    "the curl beside the program ran with the fixed command line");

  // The running program scans with the new feed at once.
  await page.click("#nav-scan");
  await page.click("#types button[data-type=custom]");
  await page.fill("#folderPath", scanDir);
  await page.click("#scanFolderBtn");
  await page.waitForSelector("#resultsCard:not(.hidden)");
  const row = page.locator("#resultsList .result").filter({ hasText: fresh });
  check((await row.count()) === 1 && (await row.locator(".meta").textContent()).startsWith("Test.Fresh-Feed · "),
    "a file known only to the new feed is detected under its name");
  await page.click("#nav-settings");

  // Bad answers: the message is shown and the installed feed stays.
  const invalid = "The downloaded update was invalid.";
  const cases = [
    { mode: "status 404", body: newFeed, message: "Couldn't download updates (HTTP 404)." },
    { mode: "status 500", body: newFeed, message: "Couldn't download updates (HTTP 500)." },
    { mode: "html", body: newFeed, message: invalid },
    { mode: "truncated", body: buildFeed("newer", NEW_VERSION + 1, digestsOf("newer ", 50, "Test.Newer")), message: invalid },
    { mode: "serve", body: newFeed.subarray(0, newFeed.length - 5), message: invalid },
  ];
  for (const c of cases) {
    const what = c.mode + " (" + c.body.length + " bytes)";
    setMode(c.mode);
    setBody(c.body);
    const n = requestCount();
    check((await clickUpdate()) === 400, what + ": the update route answers 400");
    check((await page.textContent("#toast")) === c.message, what + ": the page says \"" + c.message + "\"");
    check(requestCount() === n + 1, what + ": the server was asked");
    check(Buffer.compare(fs.readFileSync(live), newFeed) === 0, what + ": the installed feed is untouched");
    check(leftovers().length === 0, what + ": no .new or .part file is left" + (leftovers().length ? " (" + leftovers().join(", ") + ")" : ""));
    await page.click("#nav-home");
    await page.waitForFunction(() => document.getElementById("sigCount").textContent.trim() === "1,234 known");
    await page.click("#nav-settings");
    check((await page.textContent("#defs")) === "Version " + (await versionText(NEW_VERSION)) + " · 1,234 signatures",
      what + ": the page still shows the new feed");
  }

  child.kill("SIGTERM");
  check((await waitExit(child, 5000)) === 0, "the program exits with status 0 on SIGTERM");
  check(pageErrors.length === 0, "the page raised no script errors" + (pageErrors.length ? ": " + pageErrors.join("; ") : ""));
}

await main(run, "all update checks passed");
