#!/usr/bin/env python3
"""Stamps the INF template with DriverVer: the build date (mm/dd/yyyy, UTC; SOURCE_DATE_EPOCH
when set, for a reproducible package) and the driver's version w.x.y.z.

Usage: make_inf.py TEMPLATE OUTPUT VERSION
"""
import datetime
import os
import sys


def main():
    template, output, version = sys.argv[1:4]
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
            else datetime.datetime.now(datetime.timezone.utc))
    text = open(template, encoding="utf-8").read()
    for placeholder in ("@KVSBDA_DRIVER_DATE@", "@KVSBDA_DRIVER_VERSION@"):
        if placeholder not in text:
            sys.exit("%s: no %s" % (template, placeholder))
    text = text.replace("@KVSBDA_DRIVER_DATE@", when.strftime("%m/%d/%Y"))
    text = text.replace("@KVSBDA_DRIVER_VERSION@", version)
    # Windows setup reads INF files in the system's code page or as UTF-16; keep it ASCII with
    # CR LF line ends, as Windows tools write them.
    text.encode("ascii")
    with open(output, "w", encoding="ascii", newline="\r\n") as out:
        out.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
