#!/usr/bin/env bash
# Regenerates tools/attribute_names.tsv, the attribute names of the dictionary
# ("Patient's Name" where the toolkit knows only the keyword "PatientName"), from the
# data dictionary of dicom3tools: a data set holding every tag of the toolkit's public
# dictionary with an empty value is printed with dcdump, which names each attribute.
#   tools/attribute_names.sh <program folder of a build>
# The program folder's Data/QAUser.dat supplies the tags. Needs sqlite3, python3, dcdump.
# Only names that the keyword does not give already are kept: corva_mkfiles builds the
# others from the toolkit's keyword ("LensMake" -> "Lens Make") the same way.
set -euo pipefail
folder=${1:?usage: $0 <program folder>}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sqlite3 "$folder/Data/QAUser.dat" "SELECT Tag FROM tblDictionary" > "$work/tags.txt"
python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]
tags = sorted(tuple(int(p, 16) for p in line.strip().split(',')) for line in open(work + '/tags.txt') if line.strip())
with open(work + '/all.dcm', 'wb') as f:  # implicit VR little endian, no preamble
    for g, e in tags:
        if g == 0x0002 or e == 0x0000:  # file meta and group lengths: no data set elements
            continue
        if (g, e) == (0x0028, 0x0103):  # the pixel representation decides other VRs
            f.write(struct.pack('<HHIH', g, e, 2, 0))
        else:
            f.write(struct.pack('<HHI', g, e, 0))
PY
dcdump "$work/all.dcm" > "$work/dump.txt" 2>&1 || true
dictionary=$(ls /usr/share/libdcmtk*/dicom.dic | head -n 1)
python3 - "$work/dump.txt" "$dictionary" > "$here/attribute_names.tsv" <<'PY'
import re, sys

def name_from_keyword(keyword):  # as nameFromKeyword in mkfiles.cpp
    if keyword.startswith('RETIRED_'):
        keyword = keyword[len('RETIRED_'):]
    name = ''
    for i, c in enumerate(keyword):
        if i > 0 and c.isupper() and (keyword[i - 1].islower() or (
                i + 1 < len(keyword) and keyword[i - 1].isupper() and keyword[i + 1].islower())):
            name += ' '
        name += c
    return name

keywords = {}
for line in open(sys.argv[2], encoding='latin-1'):
    fields = line.rstrip('\n').split('\t')
    if len(fields) >= 3 and re.match(r'^\([0-9A-Fa-f]{4},[0-9A-Fa-f]{4}\)$', fields[0]):
        keywords[fields[0][1:-1].upper()] = fields[2]
names = {}
for line in open(sys.argv[1], encoding='latin-1'):
    m = re.match(r'^\(0x([0-9a-f]{4}),0x([0-9a-f]{4})\) \S\S (.*?) \t VR=', line)
    if m:
        names[(m.group(1) + ',' + m.group(2)).upper()] = m.group(3).strip()
print('# tag\tattribute name (from dicom3tools; regenerate with tools/attribute_names.sh)')
for tag in sorted(names):
    if tag in keywords and name_from_keyword(keywords[tag]) == names[tag]:
        continue
    print(tag + '\t' + names[tag])
PY
echo "$(grep -vc '^#' "$here/attribute_names.tsv") names written to $here/attribute_names.tsv"
