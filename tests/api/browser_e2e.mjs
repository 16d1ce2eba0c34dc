// End-to-end test of the web page: the real program in --browser mode over a
// fresh data directory, driven in the system's Chromium.
//
//   node tests/api/browser_e2e.mjs PROGRAM [--screenshots DIR]
//
// A stand-in "xdg-open" first on PATH records the address the program opens,
// so the test learns it the way a browser would. The whole run is bounded in
// time; every child process is ended on the way out.
import fs from "node:fs";
import path from "node:path";

import { check, loadChromium, main, openPage, scratch, startProgram as startIn, waitExit } from "./e2e_harness.mjs";

const EICAR = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

const args = process.argv.slice(2);
const program = args[0];
const shotsAt = args.indexOf("--screenshots");
const shotsDir = shotsAt >= 0 ? args[shotsAt + 1] : "";
if (!program || !fs.existsSync(program)) {
  console.error("usage: browser_e2e.mjs PROGRAM [--screenshots DIR]");
  process.exit(2);
}

const chromium = loadChromium();
// A scratch area: data directory, home, the scanned folder, the stand-in opener.
const s = scratch("kav-e2e-", 180);
const { tmp, dataDir } = s;
const scanDir = path.join(tmp, "suspect folder");
fs.mkdirSync(scanDir, { recursive: true });
const eicarPath = path.join(scanDir, "eicar.com");
fs.writeFileSync(eicarPath, EICAR);
fs.writeFileSync(path.join(scanDir, "notes.txt"), "nothing to see here\n");

const startProgram = () => startIn(program, s);

async function run() {
  const { page, pageErrors } = await openPage(chromium, { viewport: { width: 1280, height: 820 } });

  // First run.
  let { child, url } = await startProgram();
  const origin = url.slice(0, url.indexOf("/?t="));
  const state = await (await fetch(origin + "/api/state", { headers: { "X-AV-Token": url.split("t=")[1] } })).json();

  // Without the token the page loads but shows nothing from the API.
  await page.goto(origin + "/");
  await page.waitForTimeout(800);
  check((await page.textContent("#ver")) === "", "without the token no data reaches the page");
  check((await page.textContent("#sigCount")).trim() === "0 known", "without the token no count is shown");

  await page.goto(url);
  await page.waitForFunction(() => document.getElementById("ver").textContent === "1.0.14");
  check(true, "the page shows the version 1.0.14");
  check((await page.textContent("#plat")) === "linux", "the page shows the platform");
  const sigText = (await page.textContent("#sigCount")).trim();
  const shown = Number(sigText.split(" ")[0].replace(/[^0-9]/g, ""));
  check(shown === state.updates.signatures_count && /known$/.test(sigText), "the page shows the signature count " + shown);
  check(/^\d+ loaded$/.test((await page.textContent("#modelCount")).trim()), "the page shows the model count");
  if (shotsDir) await page.screenshot({ path: path.join(shotsDir, "main-screen.png") });

  // A folder scan finds the EICAR file.
  await page.click("#nav-scan");
  await page.click("#types button[data-type=custom]");
  await page.click("#scanFolderBtn");
  await page.waitForFunction(() => document.getElementById("toast").textContent === "Enter a folder path");
  check(true, "an empty folder path is refused");
  await page.fill("#folderPath", scanDir);
  await page.click("#scanFolderBtn");
  await page.waitForSelector("#resultsCard:not(.hidden)");
  check((await page.textContent("#resultsTitle")) === "1 threat(s) found", "the scan result names one threat");
  const summary = await page.textContent("#resultsSummary");
  check(summary === "2 files checked · 1 threat(s) · 0 error(s). Review the detections below.", "the summary counts files and threats");
  const row = page.locator("#resultsList .result").filter({ hasText: eicarPath });
  check((await row.count()) === 1, "the EICAR file is listed");
  check(/⚠/.test(await row.locator(".icon").textContent()), "the detection is shown as malware");
  if (shotsDir) {
    await page.waitForFunction(() => !document.getElementById("toast").classList.contains("shown"));
    await page.waitForTimeout(400);
    await page.screenshot({ path: path.join(shotsDir, "scan-result.png") });
  }

  // Quarantine it from the result row.
  await row.locator("button", { hasText: "Quarantine" }).click();
  await page.waitForFunction(() => document.getElementById("toast").textContent === "Moved to quarantine");
  check(!fs.existsSync(eicarPath), "quarantining moves the file away");
  check((await page.locator("#resultsList .result").count()) === 0, "the row disappears");

  // It is in the quarantine list; restore it.
  await page.click("#nav-quarantine");
  const item = page.locator("#qList .result").filter({ hasText: eicarPath });
  await item.waitFor();
  check(/ KB · /.test(await item.locator(".meta").textContent()), "the quarantine list shows the item with its size");
  await item.locator("button", { hasText: "Restore" }).click();
  await page.waitForFunction(() => document.getElementById("toast").textContent === "Restored");
  await page.waitForFunction(() => document.getElementById("qList").textContent.includes("Quarantine is empty."));
  check(fs.readFileSync(eicarPath, "utf8") === EICAR, "restoring puts the file back unchanged");

  // A folder with nothing in it.
  const emptyDir = path.join(tmp, "empty folder");
  fs.mkdirSync(emptyDir);
  await page.click("#nav-scan");
  await page.fill("#folderPath", emptyDir);
  await page.click("#scanFolderBtn");
  await page.waitForFunction(() => document.getElementById("resultsSummary").textContent.endsWith("No files were checked."));
  check((await page.textContent("#resultsTitle")) === "No threats detected", "an empty folder scan finds nothing and says no files were checked");

  // Twenty-five unreadable targets: twenty error lines and a count of the rest.
  // The page sends one folder, so the request is widened on its way out.
  const missing = Array.from({ length: 25 }, (_, i) => path.join(tmp, "missing-" + i));
  await page.route("**/api/scan", (route) => {
    const req = route.request();
    if (req.method() !== "POST") return route.continue();
    return route.continue({ postData: JSON.stringify({ type: "custom", paths: missing }) });
  });
  await page.fill("#folderPath", missing[0]);
  await page.click("#scanFolderBtn");
  await page.waitForFunction(() => document.getElementById("resultsTitle").textContent === "Scan incomplete");
  await page.unroute("**/api/scan");
  const errLines = await page.locator("#resultsErrors .err-line").allTextContents();
  check(errLines.length === 21 && errLines[20] === "5 additional error(s).", "25 errors show 20 samples and \"5 additional error(s).\"");
  check(errLines[0].startsWith(missing[0] + ": "), "an error line starts with its path");
  check((await page.textContent("#resultsSummary")).endsWith("Some files or archive contents could not be fully scanned."), "the summary says the scan was incomplete");

  // A full scan stopped at once ends as cancelled.
  await page.click("#types button[data-type=full]");
  check((await page.textContent("#typeHint")) === "A full scan checks every file on the computer. It can take a while.", "the full scan hint");
  await page.click("#startBtn");
  await page.waitForSelector("#progressArea:not(.hidden)");
  await page.click("#stopBtn");
  await page.waitForFunction(() => document.getElementById("resultsTitle").textContent === "Scan cancelled");
  check((await page.textContent("#resultsSummary")).endsWith("The scan stopped before checking all files."), "a stopped scan says it was cancelled");
  await page.click("#types button[data-type=custom]");

  // The real-time switch on the Protection view.
  await page.click("#nav-home");
  check(/\(cancelled\)$/.test(await page.textContent("#lastScan")), "the last scan is remembered with its outcome");
  await page.locator("label:has(#rtSwitch)").click();
  await page.waitForFunction(() => document.getElementById("heroTitle").textContent === "Protection is off");
  check((await page.textContent("#modeTile")) === "Off", "switching real-time protection off shows it off");
  await page.locator("label:has(#rtSwitch)").click();
  await page.waitForFunction(() => document.getElementById("heroTitle").textContent === "You're protected");
  check(/^(Blocking|Monitoring)$/.test((await page.textContent("#modeTile")).trim()), "switching it on again shows it protecting");

  // Change a setting.
  await page.click("#nav-settings");
  check(await page.isChecked("#sw-scan_archives"), "archives are scanned by default");
  const saved = page.waitForResponse((r) => r.url().endsWith("/api/settings") && r.request().method() === "POST");
  await page.locator("label:has(#sw-scan_archives)").click();
  await saved;
  await page.waitForFunction(() => !document.getElementById("sw-scan_archives").checked);
  const file = JSON.parse(fs.readFileSync(path.join(dataDir, "settings.json"), "utf8"));
  check(file.scan_archives === false, "the change is saved in settings.json");

  // Quit through the API; the program ends with status 0.
  const reply = await page.evaluate(async () => {
    const r = await fetch("/api/quit", { method: "POST", headers: { "X-AV-Token": new URLSearchParams(location.search).get("t") } });
    return await r.json();
  });
  check(reply.ok === true, "/api/quit answers ok");
  const t0 = Date.now();
  const code = await waitExit(child, 10000);
  check(code === 0, "the program exits with status 0 after /api/quit (" + code + ", " + (Date.now() - t0) + " ms)");
  check(Date.now() - t0 < 3000, "it exits within 3 s");

  // Second run: a new address, and the setting is still changed.
  const second = await startProgram();
  child = second.child;
  check(second.url !== url, "a new run has a new address");
  await page.goto(second.url);
  await page.waitForFunction(() => document.getElementById("ver").textContent === "1.0.14");
  await page.click("#nav-settings");
  await page.waitForFunction(() => document.getElementById("sw-ai_enabled").checked);
  check(!(await page.isChecked("#sw-scan_archives")), "the changed setting persists after a restart");

  child.kill("SIGTERM");
  check((await waitExit(child, 5000)) === 0, "the program exits with status 0 on SIGTERM");

  // Third run over a settings file that is not JSON: the warning shows, and
  // switches still work for the session without touching the file.
  const broken = "{ this is not json";
  fs.writeFileSync(path.join(dataDir, "settings.json"), broken);
  const third = await startProgram();
  child = third.child;
  await page.goto(third.url);
  await page.waitForFunction(() => !document.getElementById("banner").classList.contains("hidden"));
  check((await page.textContent("#banner")).startsWith("Your settings file contains invalid JSON"), "a broken settings file shows the warning banner");
  await page.click("#nav-settings");
  const aiBefore = await page.isChecked("#sw-ai_enabled");
  await page.locator("label:has(#sw-ai_enabled)").click();
  await page.waitForFunction((was) => document.getElementById("sw-ai_enabled").checked !== was, aiBefore);
  check(fs.readFileSync(path.join(dataDir, "settings.json"), "utf8") === broken, "a read-only store leaves the file alone while the switch changes");
  child.kill("SIGINT");
  check((await waitExit(child, 5000)) === 0, "the program exits with status 0 on SIGINT");
  check(pageErrors.length === 0, "the page raised no script errors" + (pageErrors.length ? ": " + pageErrors.join("; ") : ""));
}

await main(run, "all browser checks passed");
