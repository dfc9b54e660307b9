#!/usr/bin/env python3
"""Writes a small seed corpus of valid inputs for every fuzz target: <out>/<target>/<name>.

Each target's input layout is the one its LLVMFuzzerTestOneInput reads; the seeds are well-formed
messages and files so that short runs start past the first parse. Deterministic.
"""
import math
import os
import random
import struct
import sys

rng = random.Random(15)


def rand_bytes(n):
    return bytes(rng.randrange(256) for _ in range(n))


# ---------------------------------------------------------------------------------------------
# Shared formats

def sine_pcm(samples, rate=8000, freq=440, amp=8000):
    return [int(amp * math.sin(2 * math.pi * freq * i / rate)) for i in range(samples)]


def wav(samples, rate=8000, channels=1):
    data = struct.pack('<%dh' % len(samples), *samples)
    fmt = struct.pack('<HHIIHH', 1, channels, rate, rate * 2 * channels, 2 * channels, 16)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(data)) + data
    return b'RIFF' + struct.pack('<I', len(body)) + body


def ulaw(sample):
    bias, clip = 0x84, 32635
    sign = 0x80 if sample < 0 else 0
    sample = min(abs(sample), clip) + bias
    exponent = 7
    for exp in range(7, -1, -1):
        if sample & (0x4000 >> (7 - exp)):
            exponent = exp
            break
    else:
        exponent = 0
    mantissa = (sample >> (exponent + 3)) & 0x0F
    return ~(sign | (exponent << 4) | mantissa) & 0xFF


def rtp(pt, seq, ts, ssrc, payload, marker=0):
    return struct.pack('!BBHII', 0x80, (marker << 7) | pt, seq & 0xFFFF, ts & 0xFFFFFFFF, ssrc) + payload


def rtcp_sr(ssrc, cname=b'alice@192.0.2.7'):
    block = struct.pack('!IIIIII', 0x01020304, (2 << 24) | 10, 0x00010005, 30, 0x12345678, 0x00001000)
    sr = struct.pack('!IIIII', ssrc, 0xE5A1B2C3, 0x40000000, 16000, 100) + struct.pack('!I', 16000)
    body = sr + block
    head = struct.pack('!BBH', 0x81, 200, (len(body) + 4) // 4 - 1)
    item = bytes([1, len(cname)]) + cname + b'\x00'
    chunk = struct.pack('!I', ssrc) + item
    chunk += b'\x00' * ((4 - len(chunk) % 4) % 4)
    sdes = struct.pack('!BBH', 0x81, 202, (len(chunk) + 4) // 4 - 1) + chunk
    return head + body + sdes


def rtcp_rr(ssrc):
    block = struct.pack('!IIIIII', 0x01020304, 0, 0x00010000, 12, 0, 0)
    body = struct.pack('!I', ssrc) + block
    return struct.pack('!BBH', 0x81, 201, (len(body) + 4) // 4 - 1) + body


def ilbc_frame(mode):
    # Any bit pattern decodes; the last bit (the empty-frame flag) stays clear.
    frame = bytearray(rand_bytes(38 if mode == 20 else 50))
    frame[-1] &= 0xFE
    return bytes(frame)


def sdp(payloads, extra=''):
    return ('v=0\r\no=bob 1 1 IN IP4 192.0.2.9\r\ns=-\r\nc=IN IP4 192.0.2.9\r\nt=0 0\r\n'
            'm=audio 5004 RTP/AVP %s\r\n%s' % (payloads, extra))


# ---------------------------------------------------------------------------------------------
# Seeds per target

def seeds_sip_message():
    out = {}
    out['sdp_offer'] = b'S' + sdp('102 0', 'a=rtpmap:102 iLBC/8000\r\na=rtpmap:0 PCMU/8000\r\na=ptime:20\r\n').encode()
    out['sdp_dynamic'] = b'S' + sdp('96', 'a=rtpmap:96 iLBC/8000\r\na=sendonly\r\n').encode()
    # The body that made libosip2's SDP parser read one byte past its end.
    out['sdp_media_without_payloads'] = (b'S' + b'v=0\no=bob 1 1 IN IP4 192.0.2.9\ns=-\n'
                                         b'c=IN IP4 192.0.2.9\nt=0 0\nm=audio 7 RTP/AVP\n')
    body = sdp('0', 'a=rtpmap:0 PCMU/8000\r\n')
    # First byte: 'S' an SDP body alone; even, the rest after an INVITE head; odd, after a 401's.
    out['invite_with_sdp'] = ('B' + 'Contact: <sip:b@192.0.2.9:5060>\r\nContent-Type: application/sdp\r\n'
                              'RAck: 1 314 INVITE\r\nContent-Length: %d\r\n\r\n%s' % (len(body), body)).encode()
    out['challenge_401'] = (b'A' + b'WWW-Authenticate: Digest realm="example.com", nonce="5e1f00d", '
                            b'opaque="x", qop="auth,auth-int", algorithm=MD5\r\nContent-Length: 0\r\n\r\n')
    out['challenge_407'] = (b'A' + b'Proxy-Authenticate: Digest realm="proxy", nonce="abc"\r\n'
                            b'Content-Length: 0\r\n\r\n')
    return out


def seeds_cm_xml():
    return {
        'contact_line': b'<URI>dave@127.0.0.1</URI><PARENT>carol@127.0.0.1</PARENT><LEVEL> 1</LEVEL><STATUS> 4</STATUS>\n',
        'contact_lines': (b'<URI>a@x</URI><PARENT>b@x</PARENT><LEVEL> 0</LEVEL><STATUS> 1</STATUS>\n'
                          b'<URI>c@x</URI><PARENT>a@x</PARENT><LEVEL> 1</LEVEL><STATUS> 2</STATUS>\n'),
        'hold': b'<ACT>HOLD</ACT>\n',
        'unhold': b'<ACT>UNHOLD</ACT>\n',
    }


def seeds_xmldoc():
    return {
        'settings': (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?><settings><server name="boot" '
                     b'host="192.0.2.1" port="8080"/><update url="http://192.0.2.1/u"/></settings>'),
        'mixed': b'<a x="1">text<b y="2">inner</b><!-- note --><?pi data?></a>',
        'escaped': b'<a t="&quot;q&quot;">&lt;x&gt; &amp; y</a>',
    }


def seeds_datagram():
    def sb(seq, session, kind):
        return bytearray(struct.pack('!IIB', seq, session, kind))

    def s16(text):
        return struct.pack('!H', len(text)) + text

    time7 = struct.pack('!H', 2024) + bytes([5, 6, 7, 8, 9])
    out = {}
    out['connect_response'] = bytes(sb(1, 5, 2) + bytes([0, 0, 0]) + s16(b'') + s16(b'') + struct.pack('!H', 0))
    out['received_text'] = bytes(sb(2, 5, 11) + struct.pack('!H', 1) + s16(b'7_1') + struct.pack('!I', 42) +
                                 s16(b'Bob') + b'\x00' + s16(b's') + s16(b'hello') + time7 + b'\x00\x00')
    out['server_error'] = bytes(sb(3, 5, 6) + b'\x00' + s16(b'1:bye'))
    out['presence_status'] = bytes(sb(4, 5, 18) + b'\x04' + struct.pack('!I', 1002))
    out['audio_done'] = bytes(sb(5, 5, 74) + struct.pack('!HI', 1, 0))
    out['keep_alive_ack'] = bytes(sb(6, 5, 12))
    return out


def seeds_codepage():
    return {
        'gbk': bytes([1, 64]) + '你好，世界'.encode('gbk'),
        'gb18030': bytes([2, 80]) + '中文 😀 text'.encode('gb18030'),
        'utf8': bytes([3, 64]) + 'héllo wörld'.encode('utf-8'),
        'ascii_small_room': bytes([0, 3]) + b'account.ini',
    }


def seeds_platform_files():
    return {
        'ini': b'[a]\r\nk=value\r\nn=12\r\n; comment\r\n[B]\r\nkey = "quoted value" \r\n',
        'wav_mono': wav(sine_pcm(400)),
        'wav_stereo': wav([s for v in sine_pcm(200) for s in (v, -v)], channels=2),
    }


def seeds_voice_wav():
    return {
        'wav_8k': wav(sine_pcm(1600)),
        'wav_16k': wav(sine_pcm(1600, rate=16000), rate=16000),
        'ilbc20': b'#!iLBC20\n' + b''.join(ilbc_frame(20) for _ in range(5)),
        'ilbc30': b'#!iLBC30\n' + b''.join(ilbc_frame(30) for _ in range(5)),
    }


def seeds_g711():
    codes = bytes(ulaw(s) for s in sine_pcm(160))
    return {'ulaw_tone': codes, 'silence': b'\xff' * 80, 'alaw_idle': b'\xd5' * 80}


def seeds_ilbc(mode):
    # First byte: low nibble non-zero decodes the rest as one payload; zero asks for concealment.
    return {
        'frame': b'\x01' + ilbc_frame(mode),
        'two_frames': b'\x01' + ilbc_frame(mode) + ilbc_frame(mode),
        'plc': b'\x40',
        'reset_then_frame': b'\xff' + ilbc_frame(mode),
    }


def seeds_ostrel711():
    return {
        'packets': b'\x00' + b''.join(bytes([16]) + rand_bytes(80) for _ in range(3)),
        'late': b'\x01' + bytes([16]) + rand_bytes(80) + bytes([0x80 | 16]) + rand_bytes(80),
    }


def seeds_ostrelwb():
    return {
        'packets': b'\x00' + b''.join(bytes([20]) + rand_bytes(140) for _ in range(3)),
        'late': b'\x00' + bytes([20]) + rand_bytes(140) + bytes([0x80 | 20]) + rand_bytes(140),
    }


def seeds_ostrel_frames():
    return {'variant0': b'\x00' + rand_bytes(80), 'variant1': b'\x01' + rand_bytes(120)}


def seeds_quill_decode():
    return {
        'payloads': b''.join(bytes([n]) + rand_bytes(n) for n in (38, 50, 62)),
        'one_frame': rand_bytes(60),
    }


def seeds_quill_arrival():
    recs = b''
    for i in range(10):
        recs += struct.pack('<HH', i, 30) + bytes([40]) + rand_bytes(40)
    reordered = struct.pack('<HH', 5, 30) + bytes([40]) + rand_bytes(40) + struct.pack('<HH', 4, 0x8001) + bytes([40]) + rand_bytes(40)
    return {'in_order_encoder': b'\x01' + recs, 'reordered': b'\x00' + reordered}


def seeds_cng():
    sid = bytes([40]) + bytes(rng.randrange(1, 255) for _ in range(10))
    return {
        'sid_8k': bytes([len(sid)]) + sid + bytes([0x80 | len(sid)]) + sid,
        'sid_16k': bytes([0x40 | len(sid)]) + sid,
    }


def seeds_rtcp():
    return {'sr_sdes': rtcp_sr(0x0A0B0C0D), 'rr': rtcp_rr(0x0A0B0C0D), 'sr_rr': rtcp_sr(7) + rtcp_rr(7)}


def seeds_rtp_receive():
    return {
        'pcmu': rtp(0, 1, 160, 0x1234, bytes(ulaw(s) for s in sine_pcm(160))),
        'ilbc': rtp(102, 2, 160, 0x1234, ilbc_frame(20), marker=1),
        'dtmf': rtp(106, 3, 320, 0x1234, bytes([5, 0x8A, 0x03, 0x20])),
    }


def seeds_tidepool():
    def rec(step, packet):
        return bytes([len(packet), step]) + packet

    ilbc = b''.join(rec(20, rtp(102, i, 160 * i, 99, ilbc_frame(20))) for i in range(6))
    pcmu = b''.join(rec(20, rtp(0, i, 160 * i, 98, bytes(ulaw(s) for s in sine_pcm(160))[:200])) for i in range(4))
    dtmf = rec(20, rtp(101, 1, 0, 97, bytes([1, 0x8A, 0, 160]))) + rec(20, rtp(105, 2, 160, 97, bytes([40, 1, 2, 3])))
    return {'ilbc_8k': b'\x00' + ilbc, 'pcmu': b'\x00' + pcmu, 'dtmf_cn': b'\x00' + dtmf,
            'quill_16k': b'\x01' + rec(30, rtp(103, 1, 320, 96, rand_bytes(60)))}


def seeds_toolbar_block():
    def button(bitmap, command, state, style):
        return struct.pack('<iiBBxxIi', bitmap, command, state, style, 0, -1)

    bar = struct.pack('<ii', 0, 1) + button(0, 32821, 4, 0x10) + button(8, 0, 0, 1) + button(1, 32822, 0x24, 0x18)
    slot = struct.pack('<ii', 1, 2) + button(120, 32830, 0, 1) + button(0, 0, 0x20, 1) + button(2, 32823, 4, 0x10)
    return {'docked': bytes([0x0A, 0xFF, 0]) + bar, 'floating_length': bytes([0x20, 4, 2]) + slot,
            'vertical': bytes([0x10, 0xFF, 1]) + slot}


TARGETS = {
    'fuzz_sip_message': seeds_sip_message,
    'fuzz_cm_xml': seeds_cm_xml,
    'fuzz_common_xmldoc': seeds_xmldoc,
    'fuzz_pellico_datagram': seeds_datagram,
    'fuzz_platform_codepage': seeds_codepage,
    'fuzz_platform_files': seeds_platform_files,
    'fuzz_voice_wav': seeds_voice_wav,
    'fuzz_g711_decode': seeds_g711,
    'fuzz_ilbc_decode_20': lambda: seeds_ilbc(20),
    'fuzz_ilbc_decode_30': lambda: seeds_ilbc(30),
    'fuzz_ostrel711_decode': seeds_ostrel711,
    'fuzz_ostrelwb_decode': seeds_ostrelwb,
    'fuzz_ostrel_frames': seeds_ostrel_frames,
    'fuzz_quill_decode': seeds_quill_decode,
    'fuzz_quill_arrival': seeds_quill_arrival,
    'fuzz_cng_sid': seeds_cng,
    'fuzz_rtcp_parse': seeds_rtcp,
    'fuzz_rtp_receive': seeds_rtp_receive,
    'fuzz_tidepool_recin': seeds_tidepool,
    'fuzz_toolbar_block': seeds_toolbar_block,
}


def main():
    if len(sys.argv) != 2:
        sys.stderr.write('usage: fuzz_seeds.py <output folder>\n')
        return 2
    root = sys.argv[1]
    for target, make in TARGETS.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for name, data in make().items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
    return 0


if __name__ == '__main__':
    sys.exit(main())
