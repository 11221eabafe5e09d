#!/usr/bin/env python3
"""End-to-end benchmark driver: syncfolder (daemon + reference server) next to
an rsync daemon on loopback, workload by workload. Called by bench/e2e.sh,
which builds the release binaries; prints a table of medians and writes it to
the results file.

Every timed run starts from a fresh sync folder, database and share (warm page
cache). Times are wall clock, taken by polling the far side every few
milliseconds; content is verified after the clock stops.
"""
import argparse
import hashlib
import os
import random
import re
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def log(msg):
    print("[e2e] " + msg, file=sys.stderr, flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def wait_port(port, deadline=30):
    end = time.time() + deadline
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("nothing listens on port %d" % port)


def wait_for(cond, timeout, interval=0.005, what="condition"):
    end = time.monotonic() + timeout
    while True:
        if cond():
            return time.monotonic()
        if time.monotonic() > end:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(interval)


def md5_file(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        while True:
            b = f.read(1 << 20)
            if not b:
                return h.hexdigest()
            h.update(b)


def make_random_file(path, size):
    with open(path, "wb") as f:
        left = size
        chunk = os.urandom(1 << 20)
        while left > 0:
            n = min(left, len(chunk))
            # Fresh bytes per MiB would cost seconds per GiB; a rolling
            # change of the first bytes keeps every block distinct.
            f.write(left.to_bytes(8, "little") + chunk[8:n] if n >= 8 else chunk[:n])
            left -= n


def make_tree(root, files, folders, size):
    per = files // folders
    for d in range(folders):
        dd = os.path.join(root, "d%04d" % d)
        os.makedirs(dd, exist_ok=True)
        for i in range(per):
            with open(os.path.join(dd, "f%05d" % i), "wb") as f:
                f.write(os.urandom(size))


def tree_digest(root):
    out = {}
    for dp, _, fs in os.walk(root):
        for f in fs:
            p = os.path.join(dp, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, root)] = hashlib.md5(fh.read()).hexdigest()
    return out


def proc_cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def proc_io(pid):
    out = {}
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            k, v = line.split(":")
            out[k] = int(v)
    return out


def proc_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def rm(path):
    shutil.rmtree(path, ignore_errors=True)


class Proxy:
    """A loopback relay in front of the server that counts the bytes of every
    connection, both ways: the wire cost of our protocol."""

    def __init__(self, target_port):
        self.target = target_port
        self.bytes = 0
        self.lock = threading.Lock()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.stopping = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _pump(self, a, b):
        try:
            while True:
                d = a.recv(1 << 18)
                if not d:
                    break
                with self.lock:
                    self.bytes += len(d)
                b.sendall(d)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _accept(self):
        while not self.stopping:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            try:
                s = socket.create_connection(("127.0.0.1", self.target))
            except OSError:
                c.close()
                continue
            threading.Thread(target=self._pump, args=(c, s), daemon=True).start()
            threading.Thread(target=self._pump, args=(s, c), daemon=True).start()

    def take(self):
        with self.lock:
            b, self.bytes = self.bytes, 0
        return b

    def close(self):
        self.stopping = True
        self.sock.close()


class Server:
    def __init__(self, bindir, base):
        self.bindir, self.base = bindir, base
        self.share = os.path.join(base, "share")
        self.state = os.path.join(base, "state")
        self.proc = None
        self.port = None
        os.makedirs(self.share, exist_ok=True)

    def start(self):
        pf = os.path.join(self.base, "port")
        if os.path.exists(pf):
            os.unlink(pf)
        self.proc = subprocess.Popen(
            [os.path.join(self.bindir, "syncfolder-server"), "--share", self.share, "--state",
             self.state, "--port", "0", "--port-file", pf, "--session", "bench"],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.base, "server.err"), "w"))
        wait_for(lambda: os.path.exists(pf) and open(pf).read().strip() != "", 600, 0.02,
                 "the server's port")
        self.port = int(open(pf).read().strip())
        wait_port(self.port)

    def put(self, path, src):
        subprocess.run([os.path.join(self.bindir, "syncfolder-server"), "--share", self.share,
                        "--state", self.state, "put", path, src], check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        if self.proc:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None


class Daemon:
    """Our daemon with its own sync folder, database and log folders. The
    database and log live in `statedir` (on a disk, so that the idle
    workload sees real writes)."""

    def __init__(self, bindir, base, statedir, port):
        self.bindir = bindir
        self.sync = os.path.join(base, "sync")
        self.data = statedir
        self.db = os.path.join(statedir, "db")
        self.logdir = os.path.join(statedir, "log")
        self.port = port
        self.proc = None
        for d in (self.sync, self.db, self.logdir, os.path.join(statedir, "conf")):
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(statedir, "conf", "filter"), "w") as f:
            f.write("[Version]\nmajor = 1\nminor = 0\n")
        # The expander's notes say when the start-up rescan is done.
        with open(os.path.join(self.logdir, "syncfolder_c.debug"), "w") as f:
            f.write("expander_debug = 6\n" + os.environ.get("SF_E2E_LEVELS", "").replace(",", "\n") + "\n")
        self.conf = os.path.join(statedir, "client.conf")
        with open(self.conf, "w") as f:
            f.write('watch = "%s"\ndb_loc = "%s"\nsession = "bench"\nserver = "127.0.0.1"\n'
                    'port = %d\n' % (self.sync, self.db, port))
            # SF_E2E_CONF adds settings ("worker_count = 6,...") for experiments.
            f.write(os.environ.get("SF_E2E_CONF", "").replace(",", "\n") + "\n")

    def log_size(self):
        try:
            return os.path.getsize(os.path.join(self.logdir, "syncfolder_c.log"))
        except OSError:
            return 0

    def log_since(self, offset):
        """The log's text from `offset` on (all of it after a rotation)."""
        path = os.path.join(self.logdir, "syncfolder_c.log")
        try:
            with open(path, "rb") as f:
                if os.fstat(f.fileno()).st_size < offset:
                    offset = 0
                f.seek(offset)
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def log_text(self):
        try:
            with open(os.path.join(self.logdir, "syncfolder_c.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def start(self):
        env = dict(os.environ, SYNCFOLDER_UI_PORT=str(free_port()))
        # SF_E2E_WRAP runs the daemon under a profiler ("perf record -g -o F").
        wrap = os.environ.get("SF_E2E_WRAP", "").split()
        self.proc = subprocess.Popen(wrap + [os.path.join(self.bindir, "syncfolder"), self.conf],
                                     stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=env)

    def stop(self):
        if not self.proc:
            return
        if os.environ.get("SF_E2E_CPU"):
            io = proc_io(self.proc.pid)
            log("daemon CPU: %.2f s, read %d MiB, written %d MiB (syscalls)" % (
                proc_cpu_ticks(self.proc.pid) / CLK_TCK, io["rchar"] >> 20, io["wchar"] >> 20))
        try:
            self.proc.stdin.write(b"\x01")  # the terminate command byte
            self.proc.stdin.flush()
        except OSError:
            pass
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(30)
        self.proc = None

    def settle(self, quiet=1.0, timeout=600):
        """Waits until the daemon has used no CPU for `quiet` seconds."""
        end = time.monotonic() + timeout
        last, since = proc_cpu_ticks(self.proc.pid), time.monotonic()
        while time.monotonic() < end:
            time.sleep(0.1)
            now = proc_cpu_ticks(self.proc.pid)
            if now != last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return
        raise RuntimeError("the daemon never settled")


class Rsyncd:
    def __init__(self, base):
        self.base = base
        self.root = os.path.join(base, "root")
        os.makedirs(self.root, exist_ok=True)
        self.port = free_port()
        conf = os.path.join(base, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("use chroot = no\nuid = %d\ngid = %d\npid file = %s/pid\n[bench]\n"
                    "path = %s\nread only = no\n" % (os.getuid(), os.getgid(), base, self.root))
        self.proc = subprocess.Popen(["rsync", "--daemon", "--no-detach", "--config=" + conf,
                                      "--address=127.0.0.1", "--port=%d" % self.port],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(self.port)

    def url(self, rel=""):
        return "rsync://127.0.0.1:%d/bench/%s" % (self.port, rel)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(30)


def rsync(args):
    """Runs an rsync client; returns (seconds, stdout, peak RSS in KiB of
    the children so far)."""
    t0 = time.monotonic()
    r = subprocess.run(["rsync"] + args, check=True, stdout=subprocess.PIPE, text=True)
    t = time.monotonic() - t0
    return t, r.stdout, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss


def rsync_wire(stats):
    sent = int(re.search(r"Total bytes sent: ([\d,.]+)", stats).group(1).replace(",", "").replace(".", ""))
    recv = int(re.search(r"Total bytes received: ([\d,.]+)", stats).group(1).replace(",", "").replace(".", ""))
    return sent + recv


class Bench:
    def __init__(self, a):
        self.a = a
        self.bindir = a.bin
        self.work = a.work
        self.statework = a.state_dir
        self.rows = []
        q = a.quick
        self.big = (64 << 20) if q else (1 << 30)
        if a.big_mib:
            self.big = a.big_mib << 20
        self.small_files = 1000 if q else 10000
        self.small_folders = 10 if q else 100
        self.scan_files = 10000 if q else 100000
        self.scan_folders = 100 if q else 1000
        self.changes = 10 if q else 50
        self.idle_secs = 10 if q else 60
        self.runs = a.runs

    def fresh(self, name):
        base = os.path.join(self.work, name)
        st = os.path.join(self.statework, name)
        rm(base)
        rm(st)
        os.makedirs(base)
        os.makedirs(st)
        return base, st

    def ours_env(self, name, proxy=False):
        base, st = self.fresh(name)
        srv = Server(self.bindir, os.path.join(base, "srv"))
        os.makedirs(srv.base, exist_ok=True)
        srv.start()
        px = Proxy(srv.port) if proxy else None
        d = Daemon(self.bindir, base, st, px.port if px else srv.port)
        return base, st, srv, px, d

    def teardown(self, base, st, srv, px, d):
        d.stop()
        if px:
            px.close()
        srv.stop()
        if not os.environ.get("SF_E2E_KEEP"):
            rm(base)
            rm(st)

    def add(self, workload, metric, ours, theirs, unit, lower_better=True):
        self.rows.append((workload, metric, ours, theirs, unit))
        ratio = (ours / theirs) if (theirs and ours is not None) else None
        log("%s / %s: ours %s, rsync %s%s" % (workload, metric, fmt(ours, unit), fmt(theirs, unit),
                                               ", ratio %.2f" % ratio if ratio else ""))

    # ---- first upload ----------------------------------------------------
    def upload_runs(self, env_name, src, arrived, same):
        """Times the first upload of `src`, a file or a tree, self.runs times.
        Ours: a staged copy is moved into an idle daemon's sync folder, until
        `arrived(path in the share)` returns the time it got there. Rsync:
        `src` copied to a fresh rsync daemon. `same(path)` checks a copy's
        content. Returns the medians (ours, rsync)."""
        name = os.path.basename(src)
        tree = os.path.isdir(src)
        times_o, times_r = [], []
        for _ in range(self.runs):
            base, st, srv, px, d = self.ours_env(env_name)
            d.start()
            d.settle()
            staged = os.path.join(base, name)
            if tree:
                shutil.copytree(src, staged)
            else:
                os.link(src, staged)
            target = os.path.join(srv.share, name)
            t0 = time.monotonic()
            os.rename(staged, os.path.join(d.sync, name))
            t1 = arrived(target)
            assert same(target), "uploaded %s differs" % ("tree" if tree else "content")
            times_o.append(t1 - t0)
            self.teardown(base, st, srv, px, d)
            rbase, _ = self.fresh("rs")
            rd = Rsyncd(rbase)
            if tree:
                t, _, _ = rsync(["-a", src + "/", rd.url(name + "/")])
            else:
                t, _, _ = rsync(["-a", src, rd.url(name)])
            assert same(os.path.join(rd.root, name))
            times_r.append(t)
            rd.stop()
            rm(rbase)
        return med(times_o), med(times_r)

    def upload_big(self):
        size = self.big
        stage_base, _ = self.fresh("stage")
        src = os.path.join(stage_base, "big")
        make_random_file(src, size)
        digest = md5_file(src)
        ours, theirs = self.upload_runs(
            "up1", src,
            lambda target: wait_for(
                lambda: os.path.exists(target) and os.path.getsize(target) == size, 1800, 0.01,
                "the upload"),
            lambda path: md5_file(path) == digest)
        self.add("first upload, one %s file" % human(size), "time", ours, theirs, "s")
        return src, digest

    def upload_small(self):
        n, folders = self.small_files, self.small_folders
        stage_base, _ = self.fresh("stage-small")
        tree = os.path.join(stage_base, "tree")
        make_tree(tree, n, folders, 4096)
        want = tree_digest(tree)
        ours, theirs = self.upload_runs(
            "up2", tree,
            lambda target: wait_tree(target, folders, n // folders, 4096, 1800),
            lambda path: tree_digest(path) == want)
        self.add("first upload, %d files of 4 KiB in %d folders" % (n, folders), "time", ours,
                 theirs, "s")
        return tree, want

    # ---- delta -------------------------------------------------------------
    def delta(self, src):
        size = self.big
        # Ours: synced once (untimed), then one 1 MiB change per run.
        base, st, srv, px, d = self.ours_env("delta", proxy=True)
        d.start()
        d.settle()
        local = os.path.join(d.sync, "big")
        shutil.copyfile(src, os.path.join(base, "big"))
        os.rename(os.path.join(base, "big"), local)
        target = os.path.join(srv.share, "big")
        wait_for(lambda: os.path.exists(target) and os.path.getsize(target) == size, 1800, 0.05,
                 "the first upload")
        d.settle()
        rbase, _ = self.fresh("rs")
        rd = Rsyncd(rbase)
        rsrc = os.path.join(rbase, "src-big")
        shutil.copyfile(src, rsrc)
        rsync(["-a", rsrc, rd.url("big")])
        times_o, bytes_o, times_r, bytes_r = [], [], [], []
        for i in range(self.runs):
            off = size // 2 - (1 << 19) + i * 4096 * 3
            patch = os.urandom(1 << 20)
            before = os.stat(target).st_ino
            px.take()
            t0 = time.monotonic()
            fd = os.open(local, os.O_WRONLY)
            os.pwrite(fd, patch, off)
            os.close(fd)
            t1 = wait_for(lambda: os.path.exists(target) and os.stat(target).st_ino != before,
                          1800, 0.01, "the delta")
            d.settle(0.5)
            bytes_o.append(px.take())
            assert md5_file(target) == md5_file(local), "delta result differs"
            times_o.append(t1 - t0)
            fd = os.open(rsrc, os.O_WRONLY)
            os.pwrite(fd, patch, off)
            os.close(fd)
            t, out, _ = rsync(["-a", "--stats", rsrc, rd.url("big")])
            times_r.append(t)
            bytes_r.append(rsync_wire(out))
            assert md5_file(os.path.join(rd.root, "big")) == md5_file(rsrc)
        rd.stop()
        rm(rbase)
        self.teardown(base, st, srv, px, d)
        label = "delta re-sync, 1 MiB new in the middle of %s" % human(size)
        self.add(label, "time", med(times_o), med(times_r), "s")
        self.add(label, "wire bytes", med(bytes_o), med(bytes_r), "B")

    # ---- first download ----------------------------------------------------
    def download_big(self, src, digest):
        size = self.big
        t_put, t_start, times_r = [], [], []
        for _ in range(self.runs):
            # From the put, the daemon running and idle.
            base, st, srv, px, d = self.ours_env("down1")
            d.start()
            d.settle()
            local = os.path.join(d.sync, "big")
            t0 = time.monotonic()
            srv.put("/big", src)
            t1 = wait_for(lambda: os.path.exists(local) and os.path.getsize(local) == size,
                          1800, 0.01, "the download")
            assert md5_file(local) == digest
            t_put.append(t1 - t0)
            # From the start of a fresh client on the same share.
            d.stop()
            rm(d.sync)
            rm(d.data)
            d = Daemon(self.bindir, base, st, srv.port)
            local = os.path.join(d.sync, "big")
            t0 = time.monotonic()
            d.start()
            t1 = wait_for(lambda: os.path.exists(local) and os.path.getsize(local) == size,
                          1800, 0.01, "the download")
            assert md5_file(local) == digest
            t_start.append(t1 - t0)
            rd = None
            self.teardown(base, st, srv, px, d)
            rbase, _ = self.fresh("rs")
            rd = Rsyncd(rbase)
            shutil.copyfile(src, os.path.join(rd.root, "big"))
            dst = os.path.join(rbase, "dst")
            os.makedirs(dst)
            t, _, _ = rsync(["-a", rd.url("big"), dst + "/big"])
            assert md5_file(dst + "/big") == digest
            times_r.append(t)
            rd.stop()
            rm(rbase)
        self.add("first download, %s (from the put)" % human(size), "time", med(t_put),
                 med(times_r), "s")
        self.add("first download, %s (from the start)" % human(size), "time", med(t_start),
                 med(times_r), "s")

    def download_small(self, tree, want):
        n, folders = self.small_files, self.small_folders
        times_o, times_r = [], []
        for _ in range(self.runs):
            base, st, srv, px, d = self.ours_env("down2")
            srv.stop()
            shutil.copytree(tree, os.path.join(srv.share, "tree"))
            srv.start()  # takes the tree in
            d = Daemon(self.bindir, base, st, srv.port)
            t0 = time.monotonic()
            d.start()
            t1 = wait_tree(os.path.join(d.sync, "tree"), folders, n // folders, 4096, 1800)
            assert tree_digest(os.path.join(d.sync, "tree")) == want
            times_o.append(t1 - t0)
            self.teardown(base, st, srv, px, d)
            rbase, _ = self.fresh("rs")
            rd = Rsyncd(rbase)
            shutil.copytree(tree, os.path.join(rd.root, "tree"))
            dst = os.path.join(rbase, "dst")
            t, _, _ = rsync(["-a", rd.url("tree/"), dst + "/"])
            assert tree_digest(dst) == want
            times_r.append(t)
            rd.stop()
            rm(rbase)
        self.add("first download, %d x 4 KiB (from the start)" % n, "time", med(times_o),
                 med(times_r), "s")

    # ---- start-up rescan ---------------------------------------------------
    def rescan(self):
        n, folders = self.scan_files, self.scan_folders
        base, st, srv, px, d = self.ours_env("scan")
        stage = os.path.join(base, "tree")
        make_tree(stage, n, folders, 16)
        d.start()
        d.settle()
        os.rename(stage, os.path.join(d.sync, "tree"))
        wait_tree(os.path.join(srv.share, "tree"), folders, n // folders, 16, 3600, 0.5)
        d.settle(2.0)
        d.stop()
        times_o, rss_o = [], []
        for _ in range(self.runs):
            # Only what the new run appends is read, often: re-reading the
            # whole log every 20 ms took CPU from the daemon and up to 20 ms
            # onto the time measured.
            mark = d.log_size()
            t0 = time.monotonic()
            d.start()
            t1 = wait_for(lambda: "rescan of '/' done" in d.log_since(mark), 1800, 0.002,
                          "the rescan")
            d.settle(0.5)
            rss_o.append(proc_hwm_kib(d.proc.pid) / 1024.0)
            times_o.append(t1 - t0)
            d.stop()
        rbase, _ = self.fresh("rs")
        rd = Rsyncd(rbase)
        src = os.path.join(d.sync, "tree")
        rsync(["-a", src + "/", rd.url("tree/")])
        times_r, rss_r = [], []
        for _ in range(self.runs):
            # Peak RSS of children is process-wide: measure each run in a
            # child of its own.
            r = subprocess.run([sys.executable, "-c", RSYNC_RSS_CHILD, src + "/", rd.url("tree/")],
                               check=True, stdout=subprocess.PIPE, text=True)
            t, kib = r.stdout.split()
            times_r.append(float(t))
            rss_r.append(int(kib) / 1024.0)
        rd.stop()
        rm(rbase)
        self.teardown(base, st, srv, px, d)
        label = "start-up rescan, %d unchanged files in %d folders" % (n, folders)
        self.add(label, "time", med(times_o), med(times_r), "s")
        self.add(label, "peak RSS", med(rss_o), med(rss_r), "MB")

    # ---- one small change, then idle ----------------------------------------
    def small_change_and_idle(self):
        base, st, srv, px, d = self.ours_env("small")
        d.start()
        d.settle()
        os.makedirs(os.path.join(d.sync, "c"))
        wait_for(lambda: os.path.isdir(os.path.join(srv.share, "c")), 60, 0.01, "the folder")
        d.settle()
        rbase, _ = self.fresh("rs")
        rd = Rsyncd(rbase)
        rsrc = os.path.join(rbase, "src")
        os.makedirs(rsrc)
        lat_o, lat_r = [], []
        rnd = random.Random(7)
        for i in range(self.changes):
            # A random phase against any periodic wait in the daemon.
            time.sleep(rnd.uniform(0.3, 1.3))
            data = os.urandom(4096)
            name = "c/f%03d" % i
            target = os.path.join(srv.share, name)

            def arrived():
                try:
                    with open(target, "rb") as f:
                        return f.read() == data
                except OSError:
                    return False

            t0 = time.monotonic()
            with open(os.path.join(d.sync, name), "wb") as f:
                f.write(data)
            t1 = wait_for(arrived, 120, 0.002, "the change")
            lat_o.append(t1 - t0)
            with open(os.path.join(rsrc, "f%03d" % i), "wb") as f:
                f.write(data)
            t, _, _ = rsync(["-a", os.path.join(rsrc, "f%03d" % i), rd.url("f%03d" % i)])
            lat_r.append(t)
        self.add("one small local change reaching the server", "p50", pct(lat_o, 50),
                 pct(lat_r, 50), "s")
        self.add("one small local change reaching the server", "p95", pct(lat_o, 95),
                 pct(lat_r, 95), "s")

        # Idle: nothing to do, over a fixed window.
        d.settle(2.0)
        logname = "syncfolder_c.log"

        def snapshot(root):
            out = {}
            for dp, _, fs in os.walk(root):
                for f in fs:
                    if f.startswith(logname):
                        continue
                    p = os.path.join(dp, f)
                    try:
                        s = os.stat(p)
                        out[p] = (s.st_size, s.st_mtime_ns)
                    except OSError:
                        pass
            return out

        def measure(pid, root):
            snap0 = snapshot(root) if root else {}
            c0, io0 = proc_cpu_ticks(pid), proc_io(pid)
            t0 = time.monotonic()
            time.sleep(self.idle_secs)
            c1, io1 = proc_cpu_ticks(pid), proc_io(pid)
            t1 = time.monotonic()
            changed = [p for p, v in snapshot(root).items() if snap0.get(p) != v] if root else []
            cpu = 100.0 * (c1 - c0) / CLK_TCK / (t1 - t0)
            return cpu, io1["write_bytes"] - io0["write_bytes"], changed

        cpu_o, wr_o, changed = measure(d.proc.pid, d.data)
        cpu_r, wr_r, _ = measure(rd.proc.pid, None)
        label = "idle, %d s" % self.idle_secs
        self.add(label, "CPU (% of one core)", cpu_o, cpu_r, "%")
        self.add(label, "disk writes (all, log included)", wr_o, wr_r, "B")
        self.add(label, "files written besides the log", len(changed), 0, "n")
        if changed:
            log("idle: written: " + ", ".join(changed))
        rd.stop()
        rm(rbase)
        self.teardown(base, st, srv, px, d)

    # ---- channel -----------------------------------------------------------
    def channel(self):
        exe = os.path.join(self.bindir, "channel_bench")
        if not os.path.exists(exe):
            log("channel_bench not built; row skipped")
            return
        env = dict(os.environ)
        if self.a.quick:
            env["SF_BENCH_BYTES"] = str(64 << 20)
        # The framed file payload against a plain socket copy of the same
        # volume on the same host (its --ratio mode).
        out = subprocess.run([exe, "--ratio", "--no-tls"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, env=env).stdout
        vals = dict(kv.split("=", 1) for kv in out.split() if "=" in kv)
        if "blocks_mbps" not in vals or "plain_mbps" not in vals:
            log("channel_bench gave no ratio; row skipped")
            return
        self.add("channel: file payload vs plain socket (MB/s; ratio plain/ours)", "throughput",
                 float(vals["blocks_mbps"]), float(vals["plain_mbps"]), "MB/s")

    def report(self):
        lines = ["# e2e benchmark, %s" % time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "",
                 "%s mode, %d run(s) per workload, medians; host: %d cores, %s" % (
                     "quick" if self.a.quick else "full", self.runs, os.cpu_count(), self.work),
                 "", "| workload | metric | ours | rsync | ours/rsync |", "|---|---|---|---|---|"]
        for w, m, o, r, unit in self.rows:
            if unit == "MB/s" and o and r:
                ratio = "%.2f" % (r / o)
            else:
                ratio = "%.2f" % (o / r) if (o is not None and r) else "-"
            lines.append("| %s | %s | %s | %s | %s |" % (w, m, fmt(o, unit), fmt(r, unit), ratio))
        return "\n".join(lines) + "\n"


RSYNC_RSS_CHILD = r"""
import resource, subprocess, sys, time
t0 = time.monotonic()
subprocess.run(["rsync", "-a", sys.argv[1], sys.argv[2]], check=True)
t = time.monotonic() - t0
print(t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def wait_tree(root, folders, per, size, timeout, interval=0.05):
    """Waits until `root` holds `folders` folders of `per` files of `size`
    bytes each; a finished folder is not listed again."""
    done = set()

    def check():
        if not os.path.isdir(root):
            return False
        for d in range(folders):
            name = "d%04d" % d
            if name in done:
                continue
            try:
                with os.scandir(os.path.join(root, name)) as it:
                    full = sum(1 for e in it if e.stat().st_size == size)
            except OSError:
                return False
            if full < per:
                return False
            done.add(name)
        return True

    return wait_for(check, timeout, interval, "the tree")


def med(xs):
    return statistics.median(xs) if xs else None


def pct(xs, p):
    s = sorted(xs)
    k = max(0, min(len(s) - 1, int(round(p / 100.0 * len(s) + 0.5)) - 1))
    return s[k]


def human(n):
    if n >= 1 << 30:
        return "%d GiB" % (n >> 30)
    return "%d MiB" % (n >> 20)


def fmt(v, unit):
    if v is None:
        return "-"
    if unit == "s":
        return "%.2f s" % v
    if unit == "B":
        return "%d" % v
    if unit == "MB":
        return "%.1f MB" % v
    if unit == "%":
        return "%.3f%%" % v
    if unit == "MB/s":
        return "%.0f MB/s" % v
    return "%d" % v


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--work", required=True, help="big trees (tmpfs is best)")
    ap.add_argument("--state-dir", required=True, help="daemon databases and logs (a disk)")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--out")
    ap.add_argument("--only", default="", help="comma-separated workloads")
    ap.add_argument("--big-mib", type=int, default=0, help="size of the big file")
    a = ap.parse_args()
    if a.quick:
        a.runs = 1
    os.makedirs(a.work, exist_ok=True)
    os.makedirs(a.state_dir, exist_ok=True)
    b = Bench(a)
    only = set(filter(None, a.only.split(",")))

    def want(w):
        return not only or w in only

    try:
        src = tree = None
        if want("upload") or want("upload-big"):
            src, digest = b.upload_big()
        if want("upload") or want("upload-small"):
            tree, tree_want = b.upload_small()
        if src is None and (want("delta") or want("download") or want("download-big")):
            stage, _ = b.fresh("stage")
            src = os.path.join(stage, "big")
            make_random_file(src, b.big)
            digest = md5_file(src)
        if want("delta"):
            b.delta(src)
        if want("download") or want("download-big"):
            b.download_big(src, digest)
        if want("download"):
            if tree is None:
                stage, _ = b.fresh("stage-small")
                tree = os.path.join(stage, "tree")
                make_tree(tree, b.small_files, b.small_folders, 4096)
                tree_want = tree_digest(tree)
            b.download_small(tree, tree_want)
        if want("rescan"):
            b.rescan()
        if want("change"):
            b.small_change_and_idle()
        if want("channel"):
            b.channel()
    finally:
        if not os.environ.get("SF_E2E_KEEP"):
            rm(a.work)
            rm(a.state_dir)
    text = b.report()
    print(text)
    if a.out:
        with open(a.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
