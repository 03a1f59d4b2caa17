#!/usr/bin/python3
"""Writes hpack_traffic.txt: header lists as browsers send them to one site over one
HTTP/2 connection, and the lists that site's server answers with.

Each site gets one browser (Chrome, Firefox or Safari, each with its own header order
and client hints), a cookie jar of 100-1000 octets, a server profile, and a visit: a
page, its style sheets, scripts, fonts, images and API calls, a second page, revisits
that revalidate with if-none-match / if-modified-since. Cookies change when a response
sets one. The output is deterministic (fixed seed), so the file can be rebuilt.

Format: "sequence requests|responses <site>" starts a sequence (one HPACK table),
"block" starts a header list, every other line is "<name>\\t<value>".
"""
import datetime
import random
import string
import sys

SEED = 7541
SITES = 30

CHROME_UA = ("Mozilla/5.0 ({os}) AppleWebKit/537.36 (KHTML, like Gecko) "
             "Chrome/{v}.0.0.0 Safari/537.36")
FIREFOX_UA = "Mozilla/5.0 ({os}; rv:{v}.0) Gecko/20100101 Firefox/{v}.0"
SAFARI_UA = ("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 "
             "(KHTML, like Gecko) Version/{v} Safari/605.1.15")
OSES = ["Windows NT 10.0; Win64; x64", "X11; Linux x86_64", "Macintosh; Intel Mac OS X 10_15_7"]
LANGS = ["en-US,en;q=0.9", "de-DE,de;q=0.9,en-US;q=0.8,en;q=0.7", "fr-FR,fr;q=0.9",
         "en-GB,en-US;q=0.9,en;q=0.8", "nl-NL,nl;q=0.9,en-US;q=0.8,en;q=0.7", "ja,en-US;q=0.9,en;q=0.8"]

ACCEPT = {
    "chrome": {
        "document": "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
                    "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7",
        "style": "text/css,*/*;q=0.1", "script": "*/*", "font": "*/*",
        "image": "image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8",
        "empty": "application/json, text/plain, */*",
    },
    "firefox": {
        "document": "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8",
        "style": "text/css,*/*;q=0.1", "script": "*/*", "font": "application/font-woff2;q=1.0,*/*;q=0.8",
        "image": "image/avif,image/webp,*/*", "empty": "application/json, text/plain, */*",
    },
    "safari": {
        "document": "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
        "style": "text/css,*/*;q=0.1", "script": "*/*", "font": "*/*",
        "image": "image/webp,image/avif,image/jxl,image/heic,image/heic-sequence,video/*;q=0.8,image/png,"
                 "image/svg+xml,image/*;q=0.8,*/*;q=0.5",
        "empty": "application/json, text/plain, */*",
    },
}
CHROME_PRIORITY = {"document": "u=0, i", "style": "u=0", "script": "u=1", "font": "u=0",
                   "image": "u=1, i", "empty": "u=1, i"}
FIREFOX_PRIORITY = {"document": "u=0, i", "style": "u=2", "script": "u=2", "font": "u=2",
                    "image": "u=5, i", "empty": "u=4"}

WORDS = ("market city report energy science travel music review guide local world health school "
         "garden football weather recipe summer winter election budget film climate space police "
         "transport museum festival housing water coffee bridge harbour").split()
CONTENT_TYPES = {"document": "text/html; charset=utf-8", "style": "text/css", "script": "application/javascript",
                 "font": "font/woff2", "image": None, "empty": "application/json; charset=utf-8"}
IMAGE_TYPES = [("jpg", "image/jpeg"), ("webp", "image/webp"), ("png", "image/png"), ("svg", "image/svg+xml")]
SERVERS = ["nginx", "nginx/1.24.0", "cloudflare", "Apache", "AmazonS3", "ECS (dcb/7F83)", "gws"]
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
EPOCH = datetime.datetime(2024, 1, 1)
UNIX_2024 = 1704067200  # EPOCH in seconds since 1970
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def http_date(seconds):
    # Seconds since Monday 1 January 2024, 00:00:00 GMT, as an IMF-fixdate.
    when = EPOCH + datetime.timedelta(seconds=seconds)
    return "%s, %02d %s %d %02d:%02d:%02d GMT" % (DAYS[when.weekday()], when.day, MONTHS[when.month - 1], when.year,
                                                 when.hour, when.minute, when.second)


class Site:
    def __init__(self, rnd, number):
        self.rnd = rnd
        word = rnd.choice(WORDS)
        self.host = rnd.choice(["www.", "", "m.", "shop."]) + word + "-" + rnd.choice(WORDS) + \
            rnd.choice([".com", ".org", ".de", ".co.uk", ".net", ".io"])
        self.cdn = rnd.choice([None, "static." + self.host.split(".", 1)[-1]])
        self.browser = rnd.choice(["chrome", "chrome", "chrome", "firefox", "safari"])
        self.version = {"chrome": rnd.randint(118, 124), "firefox": rnd.randint(119, 125),
                        "safari": rnd.choice(["17.2", "17.3.1", "17.4"])}[self.browser]
        self.os = rnd.choice(OSES)
        self.lang = rnd.choice(LANGS)
        self.server = rnd.choice(SERVERS)
        self.time = 86400 * rnd.randint(30, 300) + rnd.randint(0, 86399)
        self.build = "%08x" % rnd.getrandbits(32)
        self.cookies = self.make_cookies(rnd.randint(100, 1000))
        self.etags = {}
        self.number = number

    def token(self, n, alphabet=string.ascii_letters + string.digits):
        return "".join(self.rnd.choice(alphabet) for _ in range(n))

    def make_cookies(self, target):
        rnd = self.rnd
        jar = [("_ga", "GA1.1.%d.%d" % (rnd.randint(10 ** 8, 10 ** 10), UNIX_2024 + self.time)),
               ("sessionid", self.token(32, "0123456789abcdef"))]
        extra = [("_gid", lambda: "GA1.2.%d.%d" % (rnd.randint(10 ** 8, 10 ** 10), rnd.randint(10 ** 9, 2 * 10 ** 9))),
                 ("csrftoken", lambda: self.token(64)),
                 ("consent", lambda: self.token(rnd.randint(120, 360), string.ascii_letters + string.digits + "-_")),
                 ("_fbp", lambda: "fb.1.%d.%d" % (rnd.randint(10 ** 12, 2 * 10 ** 12), rnd.randint(10 ** 8, 10 ** 9))),
                 ("lang", lambda: self.lang[:2]),
                 ("ab_test", lambda: "v%d_%s" % (rnd.randint(1, 9), self.token(6))),
                 ("cart", lambda: "%d" % rnd.randint(0, 5)),
                 ("_uetvid", lambda: self.token(32, "0123456789abcdef")),
                 ("prefs", lambda: "theme%3Ddark%26tz%3DEurope%252FBerlin%26ts%3D" + str(rnd.randint(10 ** 9, 2 * 10 ** 9))),
                 ("OptanonConsent", lambda: "isGpcEnabled=0&datestamp=" + self.token(40) + "&version=202401.1.0"
                                            "&groups=C0001%3A1%2CC0002%3A1%2CC0003%3A0%2CC0004%3A0"),
                 ("__cf_bm", lambda: self.token(43) + "-" + str(self.time) + "-1.0.1.1-" + self.token(86))]
        rnd.shuffle(extra)
        for name, make in extra:
            if self.cookie_header(jar) and len(self.cookie_header(jar)) >= target:
                break
            jar.append((name, make()))
        return jar

    @staticmethod
    def cookie_header(jar):
        return "; ".join("%s=%s" % kv for kv in jar)

    def path(self, dest):
        rnd = self.rnd
        if dest == "document":
            return rnd.choice(["/", "/%s/%s" % (rnd.choice(WORDS), "-".join(rnd.sample(WORDS, rnd.randint(3, 8)))),
                               "/%s/2024/%02d/%s-%d" % (rnd.choice(WORDS), rnd.randint(1, 12),
                                                        "-".join(rnd.sample(WORDS, 4)), rnd.randint(1000, 99999)),
                               "/search?q=%s+%s&page=%d" % (rnd.choice(WORDS), rnd.choice(WORDS), rnd.randint(1, 5))])
        if dest == "style":
            return "/static/css/%s.%s.css" % (rnd.choice(["app", "main", "vendor", "print", "fonts"]), self.token(8, "0123456789abcdef"))
        if dest == "script":
            return rnd.choice(["/static/js/%s.%s.js" % (rnd.choice(["main", "runtime", "vendor", "chunk-%d" % rnd.randint(100, 999)]),
                                                        self.token(8, "0123456789abcdef")),
                               "/assets/%s-%s.js" % (rnd.choice(WORDS), self.token(8)),
                               "/gtag/js?id=G-%s" % self.token(10, string.ascii_uppercase + string.digits)])
        if dest == "font":
            return "/fonts/%s-v%d-latin-%s.woff2" % (rnd.choice(["roboto", "inter", "open-sans", "lato"]), rnd.randint(12, 32),
                                                     rnd.choice(["regular", "700", "italic", "500"]))
        if dest == "image":
            ext = rnd.choice(IMAGE_TYPES)[0]
            return rnd.choice(["/images/%s-%d.%s" % (rnd.choice(WORDS), rnd.randint(1, 99999), ext),
                               "/img/%s/%s.%s?w=%d&q=%d" % (self.token(2, "0123456789abcdef"), self.token(24, "0123456789abcdef"),
                                                           ext, rnd.choice([320, 640, 800, 1280]), rnd.choice([70, 75, 80])),
                               "/favicon.ico", "/logo.svg"])
        return rnd.choice(["/api/v1/%s?page=%d&limit=%d" % (rnd.choice(WORDS), rnd.randint(1, 9), rnd.choice([10, 20, 50])),
                           "/api/session", "/api/v2/recommendations?ctx=%s" % self.token(16),
                           "/collect?v=2&tid=G-%s&cid=%d.%d&en=page_view" % (self.token(10, string.ascii_uppercase + string.digits),
                                                                            self.rnd.randint(10 ** 8, 10 ** 9), self.time)])

    def request(self, dest, path, page, revalidate, method="GET"):
        b, rnd = self.browser, self.rnd
        nav = dest == "document"
        mode = {"document": "navigate", "style": "no-cors", "script": "no-cors", "font": "cors",
                "image": "no-cors", "empty": "cors"}[dest]
        site_rel = "none" if nav and page is None else "same-origin"
        fields = []
        pseudo = {":method": method, ":authority": self.host, ":scheme": "https", ":path": path}
        order = {"chrome": [":method", ":authority", ":scheme", ":path"],
                 "firefox": [":method", ":path", ":authority", ":scheme"],
                 "safari": [":method", ":scheme", ":path", ":authority"]}[b]
        fields += [(n, pseudo[n]) for n in order]
        ua = {"chrome": CHROME_UA.format(os=self.os, v=self.version),
              "firefox": FIREFOX_UA.format(os=self.os.replace("Macintosh; Intel Mac OS X 10_15_7", "Macintosh; Intel Mac OS X 10.15"), v=self.version),
              "safari": SAFARI_UA.format(v=self.version)}[b]
        referer = "https://%s%s" % (self.host, page) if page is not None else None
        cookie = self.cookie_header(self.cookies)
        conditional = []
        if revalidate:
            conditional = [("if-none-match", self.etags.get(path, '"%s"' % self.token(16, "0123456789abcdef"))),
                           ("if-modified-since", http_date(self.time - rnd.randint(86400, 86400 * 90)))]
        body = []
        if method == "POST":
            body = [("content-length", str(rnd.randint(20, 900))), ("content-type", "application/json"),
                    ("origin", "https://" + self.host)]
        if b == "chrome":
            platform = {"W": '"Windows"', "X": '"Linux"', "M": '"macOS"'}[self.os[0]]
            if nav and revalidate:
                fields.append(("cache-control", "max-age=0"))
            fields += body[:1]
            fields += [("sec-ch-ua", '"Chromium";v="%d", "Google Chrome";v="%d", "Not-A.Brand";v="99"' % (self.version, self.version)),
                       ("sec-ch-ua-mobile", "?0")]
            fields += body[1:2]
            fields.append(("sec-ch-ua-platform", platform))
            if nav:
                fields.append(("upgrade-insecure-requests", "1"))
            fields += [("user-agent", ua), ("accept", ACCEPT[b][dest])]
            fields += body[2:]
            fields += [("sec-fetch-site", site_rel), ("sec-fetch-mode", mode)]
            if nav:
                fields.append(("sec-fetch-user", "?1"))
            fields.append(("sec-fetch-dest", dest))
            if referer:
                fields.append(("referer", referer))
            fields += [("accept-encoding", "gzip, deflate, br, zstd"), ("accept-language", self.lang)]
            fields.append(("cookie", cookie))
            fields += conditional
            fields.append(("priority", CHROME_PRIORITY[dest]))
        elif b == "firefox":
            fields += [("user-agent", ua), ("accept", ACCEPT[b][dest]), ("accept-language", self.lang),
                       ("accept-encoding", "gzip, deflate, br")]
            fields += body
            if referer:
                fields.append(("referer", referer))
            fields.append(("cookie", cookie))
            if nav:
                fields.append(("upgrade-insecure-requests", "1"))
            fields += [("sec-fetch-dest", dest), ("sec-fetch-mode", mode), ("sec-fetch-site", site_rel)]
            if nav:
                fields.append(("sec-fetch-user", "?1"))
            fields += conditional
            fields += [("priority", FIREFOX_PRIORITY[dest]), ("te", "trailers")]
        else:
            fields += [("accept", ACCEPT[b][dest]), ("sec-fetch-site", site_rel), ("cookie", cookie),
                       ("sec-fetch-dest", dest), ("accept-language", self.lang), ("sec-fetch-mode", mode)]
            fields += body
            fields.append(("user-agent", ua))
            if referer:
                fields.append(("referer", referer))
            fields += conditional
            fields.append(("accept-encoding", "gzip, deflate, br"))
        return fields

    def response(self, dest, path, revalidate, method):
        rnd = self.rnd
        self.time += rnd.choice([0, 0, 0, 1, 1, 2])
        fields = []
        if revalidate:
            status = "304"
        elif method == "POST" or path.startswith("/collect"):
            status = rnd.choice(["204", "200"])
        else:
            status = rnd.choices(["200", "404", "302", "301"], [96, 2, 1, 1])[0]
        fields.append((":status", status))
        fields += [("date", http_date(self.time)), ("server", self.server)]
        if status in ("301", "302"):
            fields += [("location", "https://%s%s" % (self.host, self.path("document"))), ("content-length", "0")]
            return fields
        if status == "204":
            fields += [("access-control-allow-origin", "https://" + self.host),
                       ("access-control-allow-credentials", "true")]
            return fields
        ctype = CONTENT_TYPES[dest]
        if dest == "image":
            extension = path.split("?")[0].rsplit(".", 1)[-1]
            ctype = dict(IMAGE_TYPES).get(extension, "image/x-icon")
        static = dest in ("style", "script", "font", "image")
        etag = self.etags.setdefault(path, ('W/"%x-%s"' if dest == "document" else '"%x-%s"')
                                     % (rnd.randint(100, 900000), self.token(12, "0123456789abcdef")))
        if status != "304":
            fields.append(("content-type", ctype))
            size = rnd.randint(200, 400000) if static else rnd.randint(2000, 90000)
            if dest in ("style", "script", "document", "empty"):
                fields.append(("content-encoding", rnd.choice(["br", "gzip"])))
            else:
                fields.append(("content-length", str(size)))
        fields.append(("vary", "Accept-Encoding" if dest != "empty" else "Origin, Accept-Encoding"))
        if static:
            fields += [("cache-control", "public, max-age=31536000, immutable"), ("etag", etag),
                       ("last-modified", http_date(self.time - rnd.randint(86400, 86400 * 200))),
                       ("accept-ranges", "bytes"), ("age", str(rnd.randint(0, 600000))),
                       ("x-cache", rnd.choice(["HIT", "Hit from cloudfront", "HIT, MISS", "MISS"]))]
        elif dest == "document":
            fields += [("cache-control", "private, no-cache, no-store, must-revalidate, max-age=0"), ("etag", etag),
                       ("expires", "Thu, 01 Jan 1970 00:00:00 GMT"), ("x-frame-options", "SAMEORIGIN"),
                       ("content-security-policy", "default-src 'self' https://%s; img-src * data:; script-src 'self' "
                                                   "'nonce-%s' https://www.googletagmanager.com" % (self.cdn or self.host, self.token(22)))]
        else:
            fields += [("cache-control", "no-cache"), ("access-control-allow-origin", "https://" + self.host)]
        fields += [("strict-transport-security", "max-age=63072000; includeSubDomains; preload"),
                   ("x-content-type-options", "nosniff"),
                   ("x-request-id", "%s-%s-%s-%s-%s" % (self.token(8, "0123456789abcdef"), self.token(4, "0123456789abcdef"),
                                                        self.token(4, "0123456789abcdef"), self.token(4, "0123456789abcdef"),
                                                        self.token(12, "0123456789abcdef")))]
        if dest in ("document", "empty") and rnd.random() < 0.3:
            name = rnd.choice([c[0] for c in self.cookies])
            value = self.token(rnd.randint(8, 60))
            self.cookies = [(n, value if n == name else v) for n, v in self.cookies]
            fields.append(("set-cookie", "%s=%s; Path=/; Expires=%s; Max-Age=31536000; Secure; HttpOnly; SameSite=Lax"
                           % (name, value, http_date(self.time + 31536000 - 86400 * 5))))
        fields.append(("alt-svc", 'h3=":443"; ma=86400'))
        return fields

    def visit(self):
        rnd = self.rnd
        requests, responses = [], []
        page = None
        for _ in range(rnd.randint(1, 3)):
            path = self.path("document")
            revisit = page is not None and rnd.random() < 0.2
            exchanges = [("document", path, revisit, "GET")]
            for dest in rnd.choices(["style", "script", "font", "image", "empty"], [2, 4, 1, 8, 3], k=rnd.randint(6, 24)):
                method = "POST" if dest == "empty" and rnd.random() < 0.3 else "GET"
                revalidate = method == "GET" and dest != "empty" and rnd.random() < 0.15
                exchanges.append((dest, self.path(dest), revalidate, method))
            for dest, sub_path, revalidate, method in exchanges:
                requests.append(self.request(dest, sub_path, page if dest != "document" else page, revalidate, method))
                responses.append(self.response(dest, sub_path, revalidate, method))
            page = path
        return requests, responses


def main():
    rnd = random.Random(SEED)
    out = sys.stdout
    out.write("# HTTP/2 header lists of %d simulated browser visits; made by make_hpack_traffic.py\n" % SITES)
    for number in range(SITES):
        site = Site(rnd, number)
        requests, responses = site.visit()
        for kind, lists in (("requests", requests), ("responses", responses)):
            out.write("sequence %s %s\n" % (kind, site.host))
            for fields in lists:
                out.write("block\n")
                for name, value in fields:
                    out.write("%s\t%s\n" % (name, value))


if __name__ == "__main__":
    main()
