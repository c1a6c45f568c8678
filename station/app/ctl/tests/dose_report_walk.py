#!/usr/bin/env python3
"""Walks the content tree of a dose report with pydicom: one line per irradiation
event and per accumulated dose, each item as <concept code>=<value> in tree order."""
import sys

import pydicom


def code(item_seq):
    return item_seq[0].CodeValue


def value(item):
    vt = item.ValueType
    if vt == "CODE":
        return code(item.ConceptCodeSequence)
    if vt == "NUM":
        mv = item.MeasuredValueSequence[0]
        return "%s %s" % (mv.NumericValue, code(mv.MeasurementUnitsCodeSequence))
    if vt == "UIDREF":
        return item.UID
    if vt == "DATETIME":
        return item.DateTime
    if vt == "TEXT":
        return item.TextValue
    return vt


def flatten(item, out):
    for child in getattr(item, "ContentSequence", []):
        if child.ValueType != "CONTAINER":
            out.append("%s=%s" % (code(child.ConceptNameCodeSequence), value(child)))
        flatten(child, out)


def main(path):
    ds = pydicom.dcmread(path)
    print("sop %s %s" % (ds.SOPClassUID, ds.Modality))
    print("root %s" % code(ds.ConceptNameCodeSequence))
    for item in ds.ContentSequence:
        name = code(item.ConceptNameCodeSequence)
        if item.ValueType == "CONTAINER" and name == "113706":
            parts = []
            flatten(item, parts)
            print("event " + "|".join(parts))
        elif item.ValueType == "CONTAINER" and name == "113702":
            parts = []
            flatten(item, parts)
            print("accumulated " + "|".join(parts))
        else:
            parts = []
            flatten(item, parts)
            print("%s=%s%s" % (name, value(item), ("|" + "|".join(parts)) if parts else ""))


if __name__ == "__main__":
    main(sys.argv[1])
