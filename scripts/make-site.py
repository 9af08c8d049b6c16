#!/usr/bin/env python3
"""Writes an update site for a release folder (a stand-in until the publisher
tool is built): update/update.xml and the files under files/."""
import hashlib, os, shutil, sys
from xml.sax.saxutils import quoteattr

release, base, site = sys.argv[1], sys.argv[2].rstrip('/'), sys.argv[3]
entries = []
for dirpath, _, names in os.walk(release):
    for n in sorted(names):
        full = os.path.join(dirpath, n)
        rel = os.path.relpath(full, release).replace(os.sep, '/')
        dest = os.path.join(site, 'files', rel)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(full, dest)
        data = open(full, 'rb').read()
        entries.append('  <file filename=%s filesize="%d" fileversion="1.0.0.0" md5="%s" fileload=%s/>' % (
            quoteattr(rel.replace('/', '\\')), len(data), hashlib.md5(data).hexdigest(), quoteattr(base + '/files/' + rel)))
os.makedirs(os.path.join(site, 'update'), exist_ok=True)
with open(os.path.join(site, 'update', 'update.xml'), 'w', encoding='utf-8') as f:
    f.write('<?xml version="1.0" encoding="UTF-8"?>\n<manifest>\n <filelist>\n%s\n </filelist>\n</manifest>\n' % '\n'.join(entries))
