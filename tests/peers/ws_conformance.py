#!/usr/bin/python3
"""WebSocket conformance cases against an echo server, driven by autobahn's
low-level client (sendFrame for raw, malformed and chopped frames).

Grouped like the well-known categories. Each case asserts the echoed data, the
close code the server sent and that the close was clean (closing handshake
completed, TCP ended without a reset).

    ws_conformance.py PORT CATEGORY... [--long] [--errors-dropped]

Category 9 (large messages, many round trips) runs only with --long.
--errors-dropped runs only the protocol-error cases (close codes 1002 and 1009)
against a server that fails a connection by dropping it, without a closing
handshake (the component's defaults): each must still echo what came before
the error and then end the TCP connection within the case's time.
Exit status 0 when every case passed.
"""
import asyncio
import sys

from autobahn.asyncio.websocket import WebSocketClientFactory, WebSocketClientProtocol

TEXT, BINARY, CLOSE, PING, PONG = 1, 2, 8, 9, 10


class Case:
    def __init__(self, name, actions, echoes=(), code=1000, timeout=10.0, offers=None, compressed=None):
        self.name = name
        self.actions = actions          # (kind, ...) tuples run in order after opening
        self.echoes = list(echoes)      # ('text'|'binary'|'pong', bytes) expected in order
        self.code = code                # the close code the server must send
        self.timeout = timeout
        self.offers = offers            # permessage-deflate offers (categories 12-13)
        self.compressed = compressed    # whether the extension must be accepted


def frame(opcode, payload=b'', fin=True, rsv=0, chopsize=None, payload_len=None):
    return ('frame', opcode, payload, fin, rsv, chopsize, payload_len)


def message(payload, binary=False, fragment=None):
    return ('message', payload, binary, fragment)


def close(code=None, reason=None):
    return ('close', code, reason)


def raw_close(payload):
    return frame(CLOSE, payload)


def echo_text(data):
    return ('text', data if isinstance(data, bytes) else data.encode())


def echo_binary(data):
    return ('binary', data)


def pattern(size):
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


def text_of(size):
    return (b'*' * size)


# ---- the categories -----------------------------------------------------------

def category1():
    cases = []
    for size in (0, 125, 126, 127, 128, 65535, 65536):
        cases.append(Case(f'1.1 text {size}', [frame(TEXT, text_of(size)), close(1000)], [echo_text(text_of(size))]))
        cases.append(Case(f'1.2 binary {size}', [frame(BINARY, pattern(size)), close(1000)], [echo_binary(pattern(size))]))
        cases.append(Case(f'1.1 text {size} chopped 997',
                          [frame(TEXT, text_of(size), chopsize=997), close(1000)], [echo_text(text_of(size))]))
        cases.append(Case(f'1.2 binary {size} chopped 997',
                          [frame(BINARY, pattern(size), chopsize=997), close(1000)], [echo_binary(pattern(size))]))
    return cases


def category2():
    cases = [Case(f'2 ping {n}', [frame(PING, pattern(n)), close(1000)], [('pong', pattern(n))]) for n in (0, 1, 125)]
    cases.append(Case('2 ping 126', [frame(PING, pattern(126))], code=1002))
    cases.append(Case('2 ping chopped', [frame(PING, b'chopped', chopsize=1), close(1000)], [('pong', b'chopped')]))
    cases.append(Case('2 unsolicited pong', [frame(PONG, b'unsolicited'), frame(TEXT, b'after'), close(1000)],
                      [echo_text('after')]))
    cases.append(Case('2 ten pings', [frame(PING, b'p%d' % i) for i in range(10)] + [close(1000)],
                      [('pong', b'p%d' % i) for i in range(10)]))
    return cases


def category3():
    cases = []
    for rsv in range(1, 8):
        cases.append(Case(f'3 rsv {rsv} on text', [frame(TEXT, b'valid'), frame(TEXT, b'bad', rsv=rsv)],
                          [echo_text('valid')], code=1002))
    cases.append(Case('3 rsv on ping', [frame(TEXT, b'valid'), frame(PING, b'p', rsv=3)], [echo_text('valid')],
                      code=1002))
    return cases


def category4():
    return [Case(f'4 reserved opcode {op}', [frame(TEXT, b'valid'), frame(op, b'x'), frame(PING, b'p')],
                 [echo_text('valid')], code=1002) for op in (3, 4, 5, 6, 7, 11, 12, 13, 14, 15)]


def category5():
    return [
        Case('5 fragmented ping', [frame(PING, b'a', fin=False), frame(0, b'b')], code=1002),
        Case('5 text in two fragments', [frame(TEXT, b'frag', fin=False), frame(0, b'ment'), close(1000)],
             [echo_text('fragment')]),
        Case('5 text in one-octet fragments',
             [frame(TEXT, b'a', fin=False)] + [frame(0, b'b', fin=False)] * 8 + [frame(0, b'c'), close(1000)],
             [echo_text('a' + 'b' * 8 + 'c')]),
        Case('5 ping between fragments',
             [frame(TEXT, b'frag', fin=False), frame(PING, b'p'), frame(0, b'ment'), close(1000)],
             [('pong', b'p'), echo_text('fragment')]),
        Case('5 fragments chopped',
             [frame(BINARY, pattern(300), fin=False, chopsize=7), frame(PING, b'p', chopsize=1),
              frame(0, pattern(200), chopsize=13), close(1000)],
             [('pong', b'p'), echo_binary(pattern(300) + pattern(200))]),
        Case('5 continuation without start', [frame(0, b'lost'), frame(TEXT, b'x')], code=1002),
        Case('5 final continuation without start', [frame(0, b'lost', fin=False)], code=1002),
        Case('5 new message inside a fragmented one',
             [frame(TEXT, b'a', fin=False), frame(TEXT, b'b'), frame(0, b'c')], code=1002),
        Case('5 binary inside a fragmented text', [frame(TEXT, b'a', fin=False), frame(BINARY, b'b')], code=1002),
    ]


VALID_UTF8 = ['', 'Hello-µ@ßöäüàá-UTF-8!!', 'κόσμε', '\U00010000', '\U0010FFFF', '\uFFFD', '\uD7FF', '\uE000']
INVALID_UTF8 = [b'\xce\xba\xe1\xbd\xb9\xcf\x83\xce\xbc\xce\xb5\xed\xa0\x80edited', b'\xed\xa0\x80', b'\xc0\xaf',
                b'\xe0\x80\xaf', b'\xf4\x90\x80\x80', b'\xf5', b'\xff', b'\x80', b'\xc2', b'ab\xf4',
                b'\xe2\x82']


def category6():
    cases = []
    for i, text in enumerate(VALID_UTF8):
        data = text.encode()
        cases.append(Case(f'6 valid {i}', [frame(TEXT, data), close(1000)], [echo_text(data)]))
        octets = [frame(TEXT, data[:1], fin=len(data) <= 1)] + \
                 [frame(0, data[j:j + 1], fin=j == len(data) - 1) for j in range(1, len(data))]
        cases.append(Case(f'6 valid {i} octet by octet', octets + [close(1000)], [echo_text(data)]))
    split = 'κόσμε'.encode()
    cases.append(Case('6 code point split across fragments',
                      [frame(TEXT, split[:3], fin=False), frame(0, split[3:]), close(1000)], [echo_text(split)]))
    for i, data in enumerate(INVALID_UTF8):
        cases.append(Case(f'6 invalid {i}', [frame(TEXT, data)], code=1007))
        cases.append(Case(f'6 invalid {i} in fragments',
                          [frame(TEXT, data[:1], fin=False), frame(0, data[1:])], code=1007))
    return cases


def category7():
    cases = [
        Case('7 close then text is not echoed', [close(1000), frame(TEXT, b'late')], code=1000),
        Case('7 close then ping is not answered', [close(1000), frame(PING, b'late')], code=1000),
        Case('7 empty close', [raw_close(b'')], code=None),
        Case('7 one-octet close', [raw_close(b'\x03')], code=1002),
        Case('7 close with code', [raw_close(b'\x03\xe8')], code=1000),
        Case('7 close with reason', [raw_close(b'\x03\xe8' + b'Ok')], code=1000),
        Case('7 close with 123-octet reason', [raw_close(b'\x03\xe8' + b'*' * 123)], code=1000),
        Case('7 close with 124-octet reason', [raw_close(b'\x03\xe8' + b'*' * 124)], code=1002),
        Case('7 close with invalid reason', [raw_close(b'\x03\xe8' + b'\xce\xba\xe1\xbd\xb9\xed\xa0\x80')],
             code=1007),
    ]
    for code in (1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 3999, 4000, 4999):
        cases.append(Case(f'7 valid code {code}', [raw_close(code.to_bytes(2, 'big'))], code=code))
    for code in (0, 999, 1004, 1005, 1006, 1015, 1016, 1100, 2000, 2999, 5000, 65535):
        cases.append(Case(f'7 invalid code {code}', [raw_close(code.to_bytes(2, 'big'))], code=1002))
    return cases


def category9():
    cases = []
    for size in (64 * 1024, 256 * 1024, 1024 * 1024, 4 * 1024 * 1024, 16 * 1024 * 1024):
        cases.append(Case(f'9 text {size}', [message(text_of(size)), close(1000)], [echo_text(text_of(size))],
                          timeout=120))
        cases.append(Case(f'9 binary {size}', [message(pattern(size), True), close(1000)],
                          [echo_binary(pattern(size))], timeout=120))
        cases.append(Case(f'9 binary {size} in 64 KiB fragments', [message(pattern(size), True, 65536), close(1000)],
                          [echo_binary(pattern(size))], timeout=120))
    cases.append(Case('9 1000 round trips', [('roundtrips', 1000, b'x' * 64), close(1000)], [], timeout=120))
    return cases


def deflate_offer(no_context_takeover=False, max_window_bits=0):
    from autobahn.websocket.compress import PerMessageDeflateOffer
    return PerMessageDeflateOffer(accept_no_context_takeover=True, accept_max_window_bits=True,
                                  request_no_context_takeover=no_context_takeover,
                                  request_max_window_bits=max_window_bits)


def deflate_echo(name, offer, sizes, repeat=3):
    actions, echoes = [], []
    for size in sizes:
        for i in range(repeat):
            data = (b'%d-%d ' % (size, i) + text_of(size))[:max(size, 1)]
            actions.append(message(data))
            echoes.append(echo_text(data))
            actions.append(message(pattern(size), True))
            echoes.append(echo_binary(pattern(size)))
    return Case(name, actions + [close(1000)], echoes, offers=[offer], compressed=True, timeout=60)


DEFLATE_SIZES = (0, 16, 64, 256, 1024, 4096, 8192, 16384, 32768, 65536, 131072)


def category12():
    return [deflate_echo(f'12 deflate echo {size}', deflate_offer(), [size]) for size in DEFLATE_SIZES]


def category13():
    cases = []
    for no_takeover in (False, True):
        for bits in (0, 9, 10, 12, 15):
            cases.append(deflate_echo(f'13 offer no_context_takeover={no_takeover} max_window_bits={bits}',
                                      deflate_offer(no_takeover, bits), (16, 1024, 65536)))
    return cases


CATEGORIES = {'1': category1, '2': category2, '3': category3, '4': category4, '5': category5, '6': category6,
              '7': category7, '9': category9, '12': category12, '13': category13}


# ---- running one case -----------------------------------------------------------

class Probe(WebSocketClientProtocol):
    case = None

    def onOpen(self):
        self.received = []
        self.roundtrips = 0
        self.pending = list(self.case.actions)
        self.run_actions()

    def run_actions(self):
        while self.pending:
            action = self.pending[0]
            kind = action[0]
            if kind == 'close' and len(self.received) < len(self.case.echoes):
                return  # close once every echo is in
            if kind == 'roundtrips':
                if self.roundtrips == 0:
                    self.roundtrips = action[1]
                    self.sendMessage(action[2])
                return
            self.pending.pop(0)
            if kind == 'frame':
                _, opcode, payload, fin, rsv, chopsize, payload_len = action
                self.sendFrame(opcode, payload, fin=fin, rsv=rsv, chopsize=chopsize, payload_len=payload_len)
            elif kind == 'message':
                _, payload, binary, fragment = action
                self.sendMessage(payload, isBinary=binary, fragmentSize=fragment)
            elif kind == 'close':
                self.sendClose(action[1], action[2])

    def onMessage(self, payload, isBinary):
        if self.roundtrips:
            self.roundtrips -= 1
            if self.roundtrips:
                self.sendMessage(payload)
            else:
                self.pending.pop(0)
                self.run_actions()
            return
        self.received.append(('binary' if isBinary else 'text', payload))
        self.run_actions()

    def onPong(self, payload):
        self.received.append(('pong', payload))
        self.run_actions()


def accept_deflate(response):
    from autobahn.websocket.compress import PerMessageDeflateResponse, PerMessageDeflateResponseAccept
    if isinstance(response, PerMessageDeflateResponse):
        return PerMessageDeflateResponseAccept(response)
    return None


def describe(events):
    return [(kind, data if len(data) <= 40 else f'<{len(data)} octets>') for kind, data in events]


PROTOCOL_ERRORS = (1002, 1009)


def is_protocol_error(case):
    # the '7 valid code' cases only echo the code of the client's own close
    return case.code in PROTOCOL_ERRORS and not case.name.startswith('7 valid code')


def dropped(case):
    """The case as it ends against a server that drops a failed connection."""
    case.code = None
    case.clean = False
    return case


async def run_case(port, case):
    loop = asyncio.get_running_loop()
    factory = WebSocketClientFactory(f'ws://127.0.0.1:{port}/echo')
    factory.setProtocolOptions(failByDrop=False, closeHandshakeTimeout=5, openHandshakeTimeout=5,
                               autoPingInterval=0, utf8validateIncoming=True, maxMessagePayloadSize=0,
                               maxFramePayloadSize=0)
    if case.offers is not None:
        factory.setProtocolOptions(perMessageCompressionOffers=case.offers,
                                   perMessageCompressionAccept=accept_deflate)
    result = loop.create_future()

    def finish(wasClean, code, received, why):
        if not result.done():
            result.set_result((wasClean, code, received, why))

    compressed = {}

    class Ending(Probe):
        def onOpen(self):
            compressed['active'] = self._perMessageCompress is not None
            super().onOpen()

        def onClose(self, wasClean, code, reason):
            finish(wasClean, self.remoteCloseCode, getattr(self, 'received', []), self.wasNotCleanReason)

    Ending.case = case
    factory.protocol = Ending
    transport, _ = await loop.create_connection(factory, '127.0.0.1', port)
    try:
        wasClean, code, received, why = await asyncio.wait_for(result, case.timeout)
    except asyncio.TimeoutError:
        transport.abort()
        return 'timed out'
    problems = []
    if case.compressed is not None and compressed.get('active') != case.compressed:
        problems.append(f'permessage-deflate active: {compressed.get("active")}, expected {case.compressed}')
    if received != case.echoes:
        problems.append(f'received {describe(received)}, expected {describe(case.echoes)}')
    if code != case.code:
        problems.append(f'close code {code}, expected {case.code}')
    if not wasClean and getattr(case, 'clean', True):
        problems.append(f'not clean: {why}')
    return '; '.join(problems)


async def main(port, categories, long_cases, errors_dropped):
    failed = 0
    total = 0
    for category in categories:
        if category == '9' and not long_cases:
            print('category 9: long cases, run with --long')
            continue
        cases = CATEGORIES[category]()
        if errors_dropped:
            cases = [dropped(case) for case in cases if is_protocol_error(case)]
        for case in cases:
            total += 1
            problem = await run_case(port, case)
            print(f'{"FAIL" if problem else "ok  "} {case.name}{": " + problem if problem else ""}', flush=True)
            failed += bool(problem)
    print(f'{total - failed}/{total} cases passed')
    return 1 if failed else 0


if __name__ == '__main__':
    args = [a for a in sys.argv[1:] if not a.startswith('--')]
    if len(args) < 2 or any(c not in CATEGORIES for c in args[1:]):
        print(__doc__)
        sys.exit(2)
    sys.exit(asyncio.run(main(int(args[0]), args[1:], '--long' in sys.argv, '--errors-dropped' in sys.argv)))
