"""Power cuts after each acknowledged command of the operator's tool.

The tool's `import`, `import --replace`, `export` and `reindex` run against a
data root inside the power-loss file system (vs_powerloss_fs: only what was
synced survives). After every command that exits 0 the durable image is
taken, and in it:
  - every account of every acknowledged import is there byte for byte
    (profile, folder list, each item live or trashed as the dump says, and
    nothing else), and `user find` finds it by its e-mail;
  - after `import --replace` nothing of the replaced tree is left;
  - after `reindex` the index is complete (with --authoritative a lookup
    reads the index only, so `user find` proves each entry);
  - `check` reports nothing but leftover temporary files.

Usage: tool_powerloss_test.py --tool build/keldrune-vault
       --fs build/tests/powerloss/vs_powerloss_fs [--seed N] [--rounds N]
       [--dir DIR]
Prints the seed (--seed replays it) and every finding; exit 0 when there is
none, 1 otherwise, 2 when the file system could not be mounted."""

import argparse
import ctypes
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# Findings of `check` that a cut may leave without anything being wrong,
# or that say nothing about durability: a write's leftover temporary
# file, and notes that a document (the test's largest items) is too large
# for the fixed-buffer read functions.
HARMLESS = {"temp-file", "too-large", "sync-too-large"}


class Mount:
    """vs_powerloss_fs mounted over WORK/backing at WORK/mnt until stop()."""

    def __init__(self, fs, work):
        self.backing = os.path.join(work, "backing")
        self.mnt = os.path.join(work, "mnt")
        self.sock = os.path.join(work, "control.sock")
        os.makedirs(self.backing)
        os.makedirs(self.mnt)

        def die_with_parent():
            ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG

        self.proc = subprocess.Popen([fs, self.backing, self.mnt, self.sock],
                                     preexec_fn=die_with_parent)
        for _ in range(1000):
            if (self.request("ping") == "ok"
                    and os.stat(self.mnt).st_dev != os.stat(work).st_dev):
                return
            if self.proc.poll() is not None:
                raise RuntimeError("the file system exited before it was mounted")
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("the file system did not come up within 10 s")

    def request(self, line):
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(self.sock)
                s.sendall((line + "\n").encode())
                return s.makefile().readline().strip()
        except OSError:
            return ""

    def cut(self, dest):
        r = self.request("cut " + dest)
        if r != "ok":
            raise RuntimeError("cut into %s: %s" % (dest, r or "no answer"))

    def stop(self):
        if self.proc.poll() is None:
            subprocess.run(["fusermount3", "-u", self.mnt], stderr=subprocess.DEVNULL)
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                subprocess.run(["fusermount3", "-u", "-z", self.mnt], stderr=subprocess.DEVNULL)


def make_uuid(rng):
    h = "%032x" % rng.getrandbits(128)
    return "%s-%s-4%s-8%s-%s" % (h[:8], h[8:12], h[13:16], h[17:20], h[20:32])


def make_account(rng, uid, email):
    """One account as a dump holds it: texts exactly as stored on disk."""
    profile = json.dumps({"email": email, "masterPasswordHash": "h%d" % rng.getrandbits(32),
                          "kdfAlgorithm": "PBKDF2_SHA256", "kdfIterations": 600000,
                          "protectedKey": "k", "securityStamp": uid, "name": "Vault User",
                          "twoFactorEnabled": False, "keys": {}, "folders": [],
                          "createdAt": "2026-01-01T00:00:00Z", "object": "profile"},
                         separators=(",", ":"))
    folders = json.dumps([{"id": make_uuid(rng), "name": "f%d" % i, "object": "folder"}
                          for i in range(rng.randrange(3))], separators=(",", ":"))
    items = {}
    for _ in range(rng.randrange(1, 12)):
        iid = make_uuid(rng)
        size = rng.choice([10, 500, 3000, 150000])
        doc = json.dumps({"id": iid, "type": 1,
                          "notes": "".join(rng.choice("abcdefgh") for _ in range(size))})
        items[iid] = (rng.random() < 0.25, doc)
    return {"email": email, "profile": profile, "folders": folders, "items": items}


def dump_of(accounts):
    lines = ['{"format":"keldrune-vault-dump","version":1}']
    n = 0
    for uid, a in accounts.items():
        lines.append(json.dumps({"account": uid, "profile": a["profile"], "folders": a["folders"]}))
        for iid, (trash, doc) in a["items"].items():
            lines.append(json.dumps({"item": iid, "trash": trash, "document": doc}))
            n += 1
    lines.append(json.dumps({"end": True, "accounts": len(accounts), "items": n}))
    return ("\n".join(lines) + "\n").encode()


def parse_dump(text):
    """uid -> (profile, folders, {item: (trash, document)}) of an export."""
    out, cur = {}, None
    for line in text.splitlines()[1:-1]:
        o = json.loads(line)
        if "account" in o:
            cur = out[o["account"]] = (o.get("profile"), o.get("folders"), {})
        elif cur is not None:
            cur[2][o["item"]] = (o["trash"], o["document"])
    return out


def category(finding):
    """What a finding is, without the names: "check: not-json",
    "document: missing", ..."""
    if finding.startswith("check: "):
        return " ".join(finding.split()[:2])
    if finding.startswith("user find"):
        return "user find fails"
    detail = finding.split(": ", 1)[-1]
    return "document: " + ("missing" if detail == "missing" else
                           "not acknowledged" if detail.startswith("not in") else "wrong bytes")


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "surrogateescape")
    except OSError:
        return None


class Run:
    def __init__(self, args):
        self.tool = args.tool
        self.seed = args.seed if args.seed is not None else random.randrange(1 << 32)
        self.rng = random.Random(self.seed)
        self.rounds = args.rounds
        self.findings = []
        self.kept = 0
        self.model = {}  # uid -> account, as the acknowledged commands left the tree
        self.previous = set()  # the findings of the last image checked

    def tool_run(self, root, *args, stdin=None):
        p = subprocess.run([self.tool, "--root", root] + list(args), input=stdin,
                           capture_output=True, timeout=300)
        return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")

    def check_image(self, img, step):
        root = os.path.join(img, "root")
        found = []
        rc, out, err = self.tool_run(root, "--json", "check")
        try:
            kinds = [(f["kind"], f["path"][len(img):], f.get("detail", ""))
                     for f in json.loads(out)["findings"]]
        except (ValueError, KeyError):
            kinds = [("check-failed", "", "exit %d: %s" % (rc, err.strip()))]
        for kind, path, detail in kinds:
            if kind not in HARMLESS:
                found.append("check: %s %s (%s)" % (kind, path, detail))
        for uid, a in self.model.items():
            rc, out, err = self.tool_run(root, "user", "find", a["email"])
            got = json.loads(out).get("userId") if rc == 0 else None
            if got != uid:
                found.append("user find %s: exit %d %s (want %s)" % (a["email"], rc,
                                                                   got or err.strip(), uid))
            d = os.path.join(root, "users", uid)
            for name, want in (("profile.json", a["profile"]), ("folders.json", a["folders"])):
                have = read(os.path.join(d, name))
                if have != want:
                    found.append("%s/%s: %s" % (uid, name, "missing" if have is None else
                                                "%d bytes, want %d" % (len(have), len(want))))
            for sub, trash in (("ciphers", False), ("trash", True)):
                want = {i: doc for i, (t, doc) in a["items"].items() if t == trash}
                try:
                    names = [n for n in os.listdir(os.path.join(d, sub))
                             if n.endswith(".json") and ".tmp." not in n]
                except OSError:
                    names = []
                for n in sorted(set(names) - {i + ".json" for i in want}):
                    found.append("%s/%s/%s: not in the acknowledged state" % (uid, sub, n))
                for i, doc in want.items():
                    have = read(os.path.join(d, sub, i + ".json"))
                    if have != doc:
                        found.append("%s/%s/%s.json: %s" % (
                            uid, sub, i, "missing" if have is None else
                            "%d bytes, want %d" % (len(have), len(doc))))
        # What this command broke, apart from what earlier ones left broken
        # (an account whose documents came back empty stays so).
        new = [f for f in found if f not in self.previous]
        self.previous = set(found)
        if found:
            self.findings.append((step, found))
            print("  FAIL after %s: %d findings, %d of them new" % (step, len(found), len(new)))
            groups = {}
            for f in new:
                groups.setdefault(category(f), []).append(f)
            for cat, fs in sorted(groups.items()):
                print("    %4d x %s, e.g. %s" % (len(fs), cat, fs[0]))
            if self.kept < 3:
                self.kept += 1
                print("    image kept: %s" % img)
                return
        shutil.rmtree(img)

    def step(self, mount, work, n, what, *args, stdin=None):
        """Runs one command on the mount; on exit 0 cuts and checks."""
        root = os.path.join(mount.mnt, "root")
        rc, out, err = self.tool_run(root, *args, stdin=stdin)
        label = "step %d: %s" % (n, what)
        if rc != 0:
            self.findings.append((label, ["exit %d: %s" % (rc, err.strip())]))
            print("  FAIL %s: exit %d: %s" % (label, rc, err.strip()))
            return None
        img = os.path.join(work, "image-%d" % n)
        mount.cut(img)
        return img, label, out

    def run(self, mount, work):
        root = os.path.join(mount.mnt, "root")
        print("[powerloss-tool] seed %d (--seed %d replays), %d rounds" %
              (self.seed, self.seed, self.rounds))
        n = 0
        r = self.step(mount, work, n, "init", "init")
        if r:
            self.check_image(r[0], r[1])
        emails = 0
        for rnd in range(self.rounds):
            # New accounts.
            fresh = {}
            for _ in range(self.rng.randrange(1, 4)):
                emails += 1
                uid = make_uuid(self.rng)
                fresh[uid] = make_account(self.rng, uid, "user%d.%d@example.org" % (emails, self.seed % 1000))
            n += 1
            r = self.step(mount, work, n, "import (%d new accounts)" % len(fresh), "import", "-",
                          stdin=dump_of(fresh))
            if r:
                self.model.update(fresh)
                self.check_image(r[0], r[1])
            # An account registered through the library (the tool's `user
            # create` and `cipher save`), so that reindex and export also
            # meet a tree no import wrote.
            emails += 1
            email = "lib%d.%d@example.org" % (emails, self.seed % 1000)
            n += 1
            r = self.step(mount, work, n, "user create", "user", "create", email)
            if r:
                uid = r[2].strip()
                live = os.path.join(root, "users", uid)
                acc = {"email": email, "profile": read(os.path.join(live, "profile.json")),
                       "folders": read(os.path.join(live, "folders.json")), "items": {}}
                self.model[uid] = acc
                self.check_image(r[0], r[1])
                iid = make_uuid(self.rng)
                doc = json.dumps({"id": iid, "notes": "x" * self.rng.randrange(5000)})
                n += 1
                r = self.step(mount, work, n, "cipher save", "cipher", "save", uid,
                              stdin=doc.encode())
                if r:
                    acc["items"][iid] = (False, doc)
                    self.check_image(r[0], r[1])
            # An export leaves the tree as it was.
            n += 1
            r = self.step(mount, work, n, "export", "export")
            if r:
                if parse_dump(r[2]) != {u: (a["profile"], a["folders"], a["items"])
                                        for u, a in self.model.items()}:
                    self.findings.append((r[1], ["the dump differs from the imported accounts"]))
                    print("  FAIL %s: the dump differs from the imported accounts" % r[1])
                self.check_image(r[0], r[1])
            # A dump written to a file (beside the root) survives the cut
            # whole, its name included.
            n += 1
            name = "dump-%d.jsonl" % n
            r = self.step(mount, work, n, "export -o", "export", "-o", os.path.join(mount.mnt, name))
            if r:
                kept = read(os.path.join(r[0], name))
                try:
                    whole = kept is not None and kept.endswith("\n") and parse_dump(kept) == {
                        u: (a["profile"], a["folders"], a["items"]) for u, a in self.model.items()}
                except ValueError:
                    whole = False
                if not whole:
                    self.findings.append((r[1], ["the dump file did not survive whole"]))
                    print("  FAIL %s: the dump file did not survive whole" % r[1])
                self.check_image(r[0], r[1])
            if os.path.exists(os.path.join(mount.mnt, name)):
                os.unlink(os.path.join(mount.mnt, name))
            # Some accounts replaced whole: new items, folders and profile.
            if self.model:
                uids = self.rng.sample(sorted(self.model), self.rng.randrange(1, len(self.model) + 1))
                repl = {u: make_account(self.rng, u, self.model[u]["email"]) for u in uids}
                n += 1
                r = self.step(mount, work, n, "import --replace (%d accounts)" % len(repl),
                              "import", "--replace", "-", stdin=dump_of(repl))
                if r:
                    self.model.update(repl)
                    self.check_image(r[0], r[1])
            # The index rebuilt, declared complete, or that withdrawn.
            mode = ["", "--authoritative", "--not-authoritative"][rnd % 3]
            n += 1
            r = self.step(mount, work, n, ("reindex " + mode).strip(),
                          *(["reindex"] + ([mode] if mode else [])))
            if r:
                self.check_image(r[0], r[1])
        print("[powerloss-tool] %d commands, %d with findings (seed %d)" %
              (n + 1, len(self.findings), self.seed))
        return not self.findings


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tool", required=True)
    ap.add_argument("--fs", required=True)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--dir", default="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
    args = ap.parse_args()
    # A signal ends the run through the finally below, which unmounts.
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, lambda *_: sys.exit(3))
    work = tempfile.mkdtemp(prefix="vs-powerloss-tool.", dir=args.dir)
    run = Run(args)
    try:
        try:
            mount = Mount(os.path.abspath(args.fs), work)
        except RuntimeError as e:
            print("[powerloss-tool] cannot mount: %s" % e)
            return 2
        try:
            ok = run.run(mount, work)
        finally:
            mount.stop()
    finally:
        if run.kept == 0:
            shutil.rmtree(work, ignore_errors=True)
        else:
            shutil.rmtree(os.path.join(work, "backing"), ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
