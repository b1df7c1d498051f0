#!/usr/bin/env python3
"""Writes the fuzz seed corpus: small synthetic Access databases (Jet3 and Jet4 layouts) that exercise
the reader's structures: catalogue, table definitions with indexes, rows with fixed and variable
columns, NULLs, a deleted row, an overflow row, inline / single-page / chained long values,
compressed text, properties, and (Jet3) a row long enough to need a jump table.

Usage: fuzz/make_seeds.py [output folder]   (default: fuzz/seeds)
"""
import os
import struct
import sys

HEADER_KEY = bytes([0xC7, 0xDA, 0x39, 0x6B])


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 255
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for b in data:
        i = (i + 1) & 255
        j = (j + s[i]) & 255
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 255])
    return bytes(out)


class Layout:
    def __init__(self, jet3):
        self.jet3 = jet3
        self.page = 2048 if jet3 else 4096
        self.w = 1 if jet3 else 2            # row column count / offsets width

    def text(self, s, compress=False):
        if self.jet3:
            return s.encode('cp1252')
        if compress and all(ord(c) < 256 and ord(c) != 0 for c in s):
            return b'\xff\xfe' + s.encode('latin-1')
        return s.encode('utf-16-le')

    def name(self, s):
        b = s.encode('cp1252') if self.jet3 else s.encode('utf-16-le')
        return (struct.pack('<B', len(b)) if self.jet3 else struct.pack('<H', len(b))) + b


# Column: (name, type, flags, length, extra) ; type codes as stored.
BOOL, BYTE, INT, LONG, MONEY, SINGLE, DOUBLE, DATE, BINARY, TEXT, OLE, MEMO, GUID, NUMERIC = \
    1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15, 16
FIXED_SIZE = {BOOL: 0, BYTE: 1, INT: 2, LONG: 4, MONEY: 8, SINGLE: 4, DOUBLE: 8, DATE: 8, GUID: 16, NUMERIC: 17}


class Table:
    def __init__(self, lay, name, cols):
        self.lay = lay
        self.name = name
        self.cols = []           # dicts
        fixed_off = 0
        var_idx = 0
        for num, (cname, ctype, length) in enumerate(cols):
            fixed = ctype in FIXED_SIZE
            c = dict(name=cname, type=ctype, num=num, fixed=fixed, length=length,
                     fixed_off=0, var_idx=0)
            if fixed:
                c['fixed_off'] = fixed_off
                fixed_off += FIXED_SIZE[ctype]
                if ctype != BOOL:
                    c['length'] = FIXED_SIZE[ctype]
            else:
                c['var_idx'] = var_idx
                var_idx += 1
            self.cols.append(c)
        self.fixed_len = fixed_off
        self.nvar = var_idx

    def tdef(self, usage_ptr, indexes=()):
        """indexes: list of (name, [col numbers], kind, flags)."""
        lay = self.lay
        cols = self.cols
        body = bytearray()
        nreal = len(indexes)
        if lay.jet3:
            head = bytearray(43)
            head[0:2] = b'\x02\x01'
            head[2:4] = b'VC'
            struct.pack_into('<I', head, 12, 0)               # rows
            head[20] = 0x4E
            struct.pack_into('<HHH', head, 21, len(cols), self.nvar, len(cols))
            struct.pack_into('<II', head, 27, len(indexes), nreal)
            head[35:39] = usage_ptr
            head[39:43] = usage_ptr
            for _ in range(nreal):
                body += struct.pack('<II', 0, 0)
            for c in cols:
                d = bytearray(18)
                d[0] = c['type']
                struct.pack_into('<HHH', d, 1, c['num'], c['var_idx'], c['num'])
                struct.pack_into('<H', d, 9, 0x409)
                struct.pack_into('<H', d, 11, 1252 if c['type'] in (TEXT, MEMO) else (18 | (4 << 8) if c['type'] == NUMERIC else 0))
                d[13] = (0x01 if c['fixed'] else 0) | 0x02
                struct.pack_into('<HH', d, 14, c['fixed_off'], c['length'])
                body += d
        else:
            head = bytearray(63)
            head[0:2] = b'\x02\x01'
            head[40] = 0x4E
            struct.pack_into('<HHH', head, 41, len(cols), self.nvar, len(cols))
            struct.pack_into('<II', head, 47, len(indexes), nreal)
            head[55:59] = usage_ptr
            head[59:63] = usage_ptr
            for _ in range(nreal):
                body += struct.pack('<III', 0, 0, 0)
            for c in cols:
                d = bytearray(25)
                d[0] = c['type']
                struct.pack_into('<HHH', d, 5, c['num'], c['var_idx'], c['num'])
                if c['type'] == NUMERIC:
                    d[11], d[12] = 18, 4
                else:
                    struct.pack_into('<H', d, 11, 0x409)
                d[15] = (0x01 if c['fixed'] else 0) | 0x02
                d[16] = 0x01 if c['type'] in (TEXT, MEMO) else 0
                struct.pack_into('<HH', d, 21, c['fixed_off'], c['length'])
                body += d
        for c in cols:
            body += lay.name(c['name'])
        for (_, nums, _, flags) in indexes:
            d = bytearray()
            if not lay.jet3:
                d += b'\0\0\0\0'
            for k in range(10):
                if k < len(nums):
                    d += struct.pack('<HB', nums[k], 1)
                else:
                    d += struct.pack('<HB', 0xFFFF, 0)
            d += struct.pack('<II', 0, 0)
            if not lay.jet3:
                d += b'\0\0\0\0'
            d += bytes([flags])
            if not lay.jet3:
                d += b'\0' * 5
            body += d
        for i, (_, _, kind, _) in enumerate(indexes):
            d = bytearray()
            if not lay.jet3:
                d += b'\0\0\0\0'
            d += struct.pack('<IIBiIBBB', i, i, 0, -1, 0, 0, 0, kind)
            if not lay.jet3:
                d += b'\0\0\0\0'
            body += d
        for (name, _, _, _) in indexes:
            body += lay.name(name)
        body += b'\xff\xff'
        page = bytearray(lay.page)
        data = head + body
        page[0:len(data)] = data
        struct.pack_into('<I', page, 8, len(data))
        return page

    def row(self, values):
        """values: list aligned with columns; None for NULL; bytes for raw var data, python values else."""
        lay = self.lay
        ncols = len(self.cols)
        mask = bytearray((ncols + 7) // 8)
        fixed = bytearray(self.fixed_len)
        var = [None] * self.nvar
        for c, v in zip(self.cols, values):
            if c['type'] == BOOL:
                if v:
                    mask[c['num'] // 8] |= 1 << (c['num'] % 8)
                continue
            if v is None:
                continue
            mask[c['num'] // 8] |= 1 << (c['num'] % 8)
            if c['fixed']:
                t = c['type']
                if t == BYTE: b = struct.pack('<B', v)
                elif t == INT: b = struct.pack('<h', v)
                elif t == LONG: b = struct.pack('<I', v & 0xFFFFFFFF)
                elif t == MONEY: b = struct.pack('<q', v)
                elif t == SINGLE: b = struct.pack('<f', v)
                elif t in (DOUBLE, DATE): b = struct.pack('<d', v)
                elif t == GUID: b = bytes(v)
                elif t == NUMERIC:
                    neg, mag = v
                    b = bytes([0x80 if neg else 0]) + b''.join(
                        struct.pack('<I', (mag >> (32 * (3 - k))) & 0xFFFFFFFF) for k in range(4))
                fixed[c['fixed_off']:c['fixed_off'] + len(b)] = b
            else:
                var[c['var_idx']] = v
        out = bytearray(struct.pack('<B', ncols) if lay.jet3 else struct.pack('<H', ncols))
        out += fixed
        offs = []
        for v in var:
            offs.append(len(out))
            if v is not None:
                out += v
        eod = len(out)
        offs.append(eod)
        mask_size = len(mask)
        if lay.jet3:
            # Sizes decide the jump table; the final length must match what the reader derives.
            base_tail = len(offs) + 1 + mask_size
            total = len(out) + base_tail
            jumps = (total - 1) // 256
            while True:
                total = len(out) + base_tail + jumps
                j2 = (total - 1) // 256
                if j2 == jumps:
                    break
                jumps = j2
            jt = []
            for k in range(jumps):
                first = next((i for i, o in enumerate(offs) if o >= 256 * (k + 1)), 0xFF)
                jt.append(first)
            tail = bytearray()
            for o in reversed(offs):
                tail.append(o & 0xFF)
            for k in reversed(range(jumps)):
                tail.append(jt[k])
            tail.append(len(var))
            out += tail
        else:
            for o in reversed(offs):
                out += struct.pack('<H', o)
            out += struct.pack('<H', len(var))
        out += mask
        return bytes(out)


def data_page(lay, tdef_page, rows, flags=None, lval=False):
    """rows: list of bytes, row 0 placed at the end of the page; flags: per-row high bits."""
    page = bytearray(lay.page)
    page[0:2] = b'\x01\x01'
    if lval:
        page[4:8] = b'LVAL'
    else:
        struct.pack_into('<I', page, 4, tdef_page)
    cnt_at = 8 if lay.jet3 else 12
    struct.pack_into('<H', page, cnt_at, len(rows))
    end = lay.page
    for i, r in enumerate(rows):
        start = end - len(r)
        page[start:end] = r
        f = flags[i] if flags else 0
        struct.pack_into('<H', page, cnt_at + 2 + 2 * i, start | f)
        end = start
    struct.pack_into('<H', page, 2, end - (cnt_at + 2 + 2 * len(rows)))
    return page


def usage_map(start_page, pages, size=64):
    bitmap = bytearray(size)
    for p in pages:
        bitmap[(p - start_page) // 8] |= 1 << ((p - start_page) % 8)
    return b'\x00' + struct.pack('<I', start_page) + bytes(bitmap)


def props_blob(lay, table_props, col_props):
    names = []
    def idx(n):
        if n not in names:
            names.append(n)
        return names.index(n)

    def values_block(block_type, map_name, props):
        b = bytearray()
        nm = lay.name(map_name) if map_name else b''
        if lay.jet3:
            nm = (struct.pack('<H', len(map_name)) + map_name.encode('cp1252')) if map_name else b''
        else:
            nm = (struct.pack('<H', len(map_name) * 2) + map_name.encode('utf-16-le')) if map_name else b''
        b += struct.pack('<I', 4 + len(nm)) + nm
        if not map_name:
            b[0:4] = struct.pack('<I', 6)
            b += b'\0\0'
        for (pname, ptype, data) in props:
            b += struct.pack('<HBBHH', 8 + len(data), 0, ptype, idx(pname), len(data)) + data
        return struct.pack('<IH', 6 + len(b), block_type) + b

    blocks = values_block(0, '', table_props)
    for cname, props in col_props:
        blocks += values_block(1, cname, props)
    nb = bytearray()
    for n in names:
        if lay.jet3:
            nb += struct.pack('<H', len(n)) + n.encode('cp1252')
        else:
            nb += struct.pack('<H', len(n) * 2) + n.encode('utf-16-le')
    name_block = struct.pack('<IH', 6 + len(nb), 0x80) + nb
    return (b'KKD\0' if lay.jet3 else b'MR2\0') + name_block + blocks


def long_value_ref(kind, length, row=0, page=0, inline=b''):
    return struct.pack('<I', length | (kind << 24))[0:3] + bytes([kind]) + bytes([row]) + \
        struct.pack('<I', page)[0:3] + b'\0\0\0\0' + inline


def build(jet3, variant):
    lay = Layout(jet3)
    P = lay.page
    pages = {}
    # Page numbers: 2 catalogue definition, 3 usage maps, 4 catalogue rows, 5 user table definition,
    # 6-7 user rows, 8 long values.
    cat = Table(lay, 'MSysObjects', [('Id', LONG, 4), ('ParentId', LONG, 4), ('Name', TEXT, 255),
                                     ('Type', INT, 2), ('Flags', LONG, 4), ('LvProp', OLE, 0),
                                     ('Database', MEMO, 0), ('ForeignName', TEXT, 255),
                                     ('Connect', MEMO, 0)])
    pages[2] = cat.tdef(bytes([0]) + struct.pack('<I', 3)[0:3])
    user_cols = [('id', LONG, 4), ('flag', BOOL, 1), ('name', TEXT, 100), ('note', MEMO, 0),
                 ('when', DATE, 8), ('price', MONEY, 8), ('qty', NUMERIC, 17), ('key', GUID, 16),
                 ('ratio', DOUBLE, 8), ('blob', OLE, 0), ('small', BYTE, 1), ('short', INT, 2),
                 ('f', SINGLE, 4)]
    if variant == 'wide':
        user_cols += [('extra%d' % i, TEXT, 100) for i in range(24)]
    user = Table(lay, 'Things', user_cols)
    pages[5] = user.tdef(bytes([1]) + struct.pack('<I', 3)[0:3],
                         indexes=[('PrimaryKey', [0], 1, 0x09), ('name', [2], 0, 0x00)])
    pages[3] = data_page(lay, 0, [usage_map(0, [4]), usage_map(0, [6, 7])])

    tprops = [('Description', TEXT, lay.text('things to read')), ('OrderByOn', BOOL, b'\x01')]
    cprops = [('name', [('DefaultValue', TEXT, lay.text('"x"')), ('Required', BOOL, b'\x00'),
                        ('AllowZeroLength', BOOL, b'\x01')]),
              ('price', [('Format', TEXT, lay.text('Currency')), ('DecimalPlaces', BYTE, b'\x02')])]
    blob = props_blob(lay, tprops, cprops)
    cat_rows = [
        cat.row([0x0F000001, 0x0F000000, lay.text('Tables'), 3, 0x80000000, None, None, None, None]),
        cat.row([2, 0x0F000001, lay.text('MSysObjects'), 1, 0x80000000, None, None, None, None]),
        cat.row([5, 0x0F000001, lay.text('Things'), 1, 0,
                 long_value_ref(0x80, len(blob), inline=blob), None, None, None]),
        cat.row([9, 0x0F000001, lay.text('Linked'), 6, 0, None,
                 long_value_ref(0x80, len(lay.text('C:\\other.mdb')), inline=lay.text('C:\\other.mdb')),
                 lay.text('Remote'), None]),
        cat.row([10, 0x0F000003, lay.text('Query1'), 5, 0, None, None, None, None]),
    ]
    pages[4] = data_page(lay, 2, cat_rows)

    long_text = lay.text('long value spread over a chain of rows ' * 6)
    half = len(long_text) // 2
    single = lay.text('a memo on its own row')
    pages[8] = data_page(lay, 0, [
        single,                                                   # row 0: single-page value
        bytes([2]) + struct.pack('<I', 8)[0:3] + long_text[:half],  # row 1: chain head -> row 2
        b'\0\0\0\0' + long_text[half:],                           # row 2: chain end
    ], lval=True)

    extra = [lay.text('padding text %d' % i, True) for i in range(24)] if variant == 'wide' else []
    r_full = user.row([1, True, lay.text('first', True), long_value_ref(0x80, len(lay.text('hello')), inline=lay.text('hello')),
                       36526.5, 12345678, (False, 1234567890123), bytes(range(16)), 0.25,
                       long_value_ref(0x40, len(single), row=0, page=8), 7, -2, 1.5] + extra)
    r_nulls = user.row([2, False, lay.text(''), None, -1.25, -5, (True, 42), None, None, None, None, None, None]
                       + [None] * len(extra))
    r_chain = user.row([3, True, lay.text('third \u00e9', True), long_value_ref(0x00, len(long_text), row=1, page=8),
                        0.0, 0, (False, 0), None, -0.5, None, 255, 32767, -3.25] + extra)
    r_deleted = user.row([4, False, lay.text('deleted'), None, 1.0, 1, (False, 1), None, 1.0, None, 1, 1, 1.0]
                         + [None] * len(extra))
    overflow_ptr = bytes([0]) + struct.pack('<I', 7)[0:3]
    pages[6] = data_page(lay, 5, [r_full, r_nulls, r_deleted, overflow_ptr, r_chain],
                         flags=[0, 0, 0x8000, 0x4000, 0])
    r_moved = user.row([5, True, lay.text('moved here'), None, 2.0, 2, (False, 2), None, 2.0, None, 2, 2, 2.0]
                       + [None] * len(extra))
    pages[7] = data_page(lay, 5, [r_moved], flags=[0x8000])

    # Header page.
    hdr = bytearray(P)
    hdr[0:4] = b'\x00\x01\x00\x00'
    hdr[4:20] = b'Standard Jet DB\x00'
    hdr[20] = 0 if jet3 else 1
    clear = bytearray(128)
    struct.pack_into('<H', clear, 0x3C - 0x18, 1252)
    struct.pack_into('<I', clear, 0x3E - 0x18, 0)
    n = 126 if jet3 else 128
    hdr[0x18:0x18 + n] = rc4(HEADER_KEY, bytes(clear[:n]))
    pages[0] = hdr
    pages[1] = bytearray(P)
    out = bytearray()
    for i in range(max(pages) + 1):
        out += pages.get(i, bytearray(P))
    return bytes(out)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), 'seeds')
    os.makedirs(out_dir, exist_ok=True)
    for jet3 in (True, False):
        for variant in ('plain', 'wide'):
            name = '%s_%s.mdb' % ('jet3' if jet3 else 'jet4', variant)
            with open(os.path.join(out_dir, name), 'wb') as f:
                f.write(build(jet3, variant))
            print(name)


if __name__ == '__main__':
    main()
