#!/usr/bin/env python3
"""https of the Windows build under Wine.

  https_wine.py --build BUILD_DIR [--port 18475]

crash_driver.exe (the engine over the Windows backends, no window) updates a
program folder from nginx over https: with a certificate from an authority
the test prefix trusts, with one from an authority it does not, and with a
file whose request is redirected from https to http. The authority is made
once per Wine prefix and trusted there with trust_ca.exe.
Closes with "N passed, N failed"; exit status 0 when all passed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import harness  # noqa: E402


def make_certificate(folder):
    """A self-signed certificate for localhost: its own authority."""
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "3650", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", os.path.join(folder, "key.pem"), "-out", os.path.join(folder, "cert.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return folder


def winpath(path):
    return subprocess.check_output(["winepath", "-w", path], text=True).strip()


def start_nginx(work, servers):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write("%sworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                "events { worker_connections 64; }\nhttp {\n  log_format plain '$server_port $request';\n"
                "  access_log %s/access.log plain;\n  client_body_temp_path %s/body;\n"
                "  proxy_temp_path %s/proxy;\n  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n"
                "  scgi_temp_path %s/scgi;\n%s}\n"
                % ("user root;\n" if os.getuid() == 0 else "", work, work, work, work, work, work, work, work,
                   "".join(servers)))
    nginx = shutil.which("nginx", path="/usr/sbin:/usr/bin") or "nginx"
    subprocess.run([nginx, "-p", work, "-c", conf], check=True)
    return lambda: subprocess.run([nginx, "-p", work, "-c", conf, "-s", "stop"], check=False,
                                  stderr=subprocess.DEVNULL)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--port", type=int, default=18475)
    args = ap.parse_args()
    tests = os.path.join(os.path.abspath(args.build), "tests", "windows")
    driver = os.path.join(tests, "crash_driver.exe")

    # Kept inside the prefix that trusts it, so a new prefix gets a new one.
    trusted = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")), "velloran-https-authority")
    if not os.path.exists(os.path.join(trusted, "trusted")):
        make_certificate(trusted)
        subprocess.run(["wine", os.path.join(tests, "trust_ca.exe"), winpath(os.path.join(trusted, "cert.pem"))],
                       check=True)
        open(os.path.join(trusted, "trusted"), "w").close()

    good, bad, plain = args.port, args.port + 1, args.port + 2
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="velloran-https-wine-") as work:
        untrusted = make_certificate(os.path.join(work, "untrusted"))
        site = os.path.join(work, "site")
        manifest = "[VERSION]\r\nVersion=2\r\nMax=1\r\n[FILES]\r\nFileName1=%s\r\nFileVersion1=2\r\nFilePath1=\r\n"
        harness.write_tree(site, {"updates/news.txt": "news", "updates/info.ini": manifest % "a.dat",
                                  "redirected/updates/news.txt": "news",
                                  "redirected/updates/info.ini": manifest % "r.dat",
                                  "updates/a.dat": "new", "redirected/updates/a.dat": "new"})

        def tls(port, cert, root, extra=""):
            return ("  server { listen 127.0.0.1:%d ssl; ssl_certificate %s/cert.pem; ssl_certificate_key "
                    "%s/key.pem; root %s; %s}\n" % (port, cert, cert, root, extra))
        stop = start_nginx(work, [
            tls(good, trusted, site),
            tls(good + 10, trusted, os.path.join(site, "redirected"),
                "location = /updates/r.dat { return 302 http://localhost:%d/updates/a.dat; } " % plain),
            tls(bad, untrusted, site),
            "  server { listen 127.0.0.1:%d; root %s; }\n" % (plain, site)])
        try:
            harness.wait_until(lambda: not harness.port_is_free(good), 10, "nginx")
            cases = [
                ("trusted authority", good, 0, None),
                ("untrusted authority", bad, 3, "Could not download https://localhost:%d/updates/info.ini" % bad),
                ("redirect from https to http", good + 10, 3, "Could not download https://localhost:%d/updates/r.dat"
                 % (good + 10)),
            ]
            for name, port, code, text in cases:
                program = os.path.join(work, "program-%d" % port)
                harness.write_tree(program, {"a.dat": "old"})
                run = subprocess.run(["wine", driver, winpath(program), "https://localhost:%d/updates" % port],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
                with open(os.path.join(program, "a.dat")) as f:
                    content = f.read()
                problems = []
                if run.returncode != code:
                    problems.append("exit %d, expected %d: %s" % (run.returncode, code, run.stdout.strip()[-300:]))
                if text and text not in run.stdout:
                    problems.append("the failure does not read %r: %s" % (text, run.stdout.strip()[-300:]))
                if content != ("new" if code == 0 else "old"):
                    problems.append("a.dat holds %r" % content)
                with open(os.path.join(work, "access.log")) as f:
                    if any(line.startswith("%d " % plain) for line in f):
                        problems.append("a request reached the plain http server")
                print("%s %s" % ("FAIL" if problems else "PASS", name))
                for p in problems:
                    print("  " + p)
                passed, failed = passed + (not problems), failed + bool(problems)
        finally:
            stop()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
