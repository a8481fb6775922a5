#!/usr/bin/env python3
"""Checks a driver INF the way Windows setup would read it, and against the driver.

Fails on: a section that is named but missing, a string used but undefined, an unknown directive
in a known section, a file copied but not listed in the source-disk sections, a models section
missing for a decoration, a decoration that offers the driver to Windows older than the image
needs or to another architecture, a hardware id the driver does not serve (or a stick the driver
serves by exact id that the INF does not list), and a [Version] that does not match the package
(DriverVer version, catalog name).

Usage: check_inf.py INF --classification usb/device_classification.h --boot-id 3344:1111
                    [--min-os 6.2] [--version 1.2.3.4] [--catalog kvsbda.cat]
"""
import argparse
import re
import sys

from inf_reader import parse

VERSION_DIRECTIVES = {
    "signature", "class", "classguid", "provider", "driverver", "catalogfile", "pnplockdown",
    "driverpackagetype", "driverpackagedisplayname", "layoutfile", "classver", "catalogfile.ntamd64",
}
DDINSTALL_DIRECTIVES = {
    "include", "needs", "copyfiles", "addreg", "delreg", "delfiles", "renfiles", "copyinf",
    "featurescore", "driverver", "bitreg", "reboot", "addproperty", "delproperty",
    "profileitems", "updateinis", "updateinifields", "ini2reg", "registerdlls",
    "unregisterdlls", "addpowersetting", "addcomponent", "addsoftware", "characteristics",
    "bustype",
}
SERVICES_DIRECTIVES = {"addservice", "delservice", "include", "needs"}
INTERFACES_DIRECTIVES = {"addinterface", "include", "needs"}
HW_DIRECTIVES = {"addreg", "delreg", "bitreg", "include", "needs", "addproperty", "delproperty"}
SERVICE_INSTALL_DIRECTIVES = {
    "displayname", "description", "servicetype", "starttype", "errorcontrol", "servicebinary",
    "startname", "addreg", "delreg", "bitreg", "loadordergroup", "dependencies", "security",
    "addtrigger", "serviceSidType".lower(), "delayedautostart",
}
INTERFACE_INSTALL_DIRECTIVES = {"addreg", "delreg", "bitreg", "addproperty", "delproperty"}
# Directives whose values name sections of this INF.
SECTION_LISTS = {"copyfiles", "addreg", "delreg", "delfiles", "renfiles", "bitreg",
                 "addproperty", "delproperty"}
# Install sections take the most specific decoration Windows knows for x64.
INSTALL_DECORATIONS = ("ntamd64", "nt", "")
# Registry roots an AddReg or DelReg line may name.
REGISTRY_ROOTS = {"hkcr", "hkcu", "hklm", "hku", "hkr"}
HARDWARE_ID = re.compile(r"^USB\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})$", re.IGNORECASE)
RULE = re.compile(r"\{\s*0x([0-9A-Fa-f]+)\s*,\s*ProductMatch::(\w+)\s*,\s*"
                  r"\{\s*0x([0-9A-Fa-f]+)\s*,\s*0x([0-9A-Fa-f]+)\s*\}\s*,\s*(\d+)\s*,")


def load_rules(path):
    """The driver's classification table: (vendor, match, product ids, kind) in order."""
    text = open(path, encoding="utf-8").read()
    table = re.search(r"kClassificationRules\[\]\s*=\s*\{(.*?)\};", text, re.S)
    if not table:
        raise SystemExit("%s: no kClassificationRules table" % path)
    rules = [(int(v, 16), m, (int(a, 16), int(b, 16)), int(k))
             for v, m, a, b, k in RULE.findall(table.group(1))]
    # Every row of the table must have been read: count the rows by their braces.
    rows = len(re.findall(r"^\s*\{\s*0x", table.group(1), re.M))
    if not rules or len(rules) != rows:
        raise SystemExit("%s: read %d of %d classification rules" % (path, len(rules), rows))
    return rules


def classify(rules, vendor, product):
    for rule_vendor, match, products, kind in rules:
        if rule_vendor != vendor:
            continue
        if match == "Exact" and product == products[0]:
            return kind
        if match == "AnyExcept" and product not in products:
            return kind
    return 0


class Checker:
    def __init__(self, inf, args):
        self.inf = inf
        self.args = args
        self.errors = list(inf.errors)

    def fail(self, message):
        self.errors.append(message)

    def value(self, entry, index=0):
        undefined = []
        text = self.inf.expand(entry.fields[index], entry.line, undefined) \
            if index < len(entry.fields) else ""
        return text

    def require_section(self, name, line, why):
        if not self.inf.has(name):
            self.fail("line %d: %s names section [%s], which does not exist" % (line, why, name))
            return False
        return True

    def directives(self, section, allowed):
        for entry in self.inf.section(section) or []:
            if entry.key is None or entry.key.lower() not in allowed:
                self.fail("line %d: unknown directive %r in [%s]" %
                          (entry.line, entry.key if entry.key else entry.fields[0],
                           self.inf.names[section.lower()]))

    def check_strings(self):
        for name, entries in self.inf.sections.items():
            if name == "strings" or name.startswith("strings."):
                continue
            for entry in entries:
                undefined = []
                for text in ([entry.key] if entry.key else []) + entry.fields:
                    self.inf.expand(text, entry.line, undefined)
                for line, token in undefined:
                    self.fail("line %d: string %%%s%% is used but not defined" % (line, token))

    def check_version(self):
        version = {e.key.lower(): e for e in self.inf.section("Version") or [] if e.key}
        if not self.inf.has("Version"):
            self.fail("no [Version] section")
            return
        self.directives("Version", VERSION_DIRECTIVES)
        for required in ("signature", "class", "classguid", "provider", "driverver",
                         "catalogfile"):
            if required not in version:
                self.fail("[Version] has no %s" % required)
        if "signature" in version and self.value(version["signature"]).lower() != "$windows nt$":
            self.fail("[Version] Signature is not $Windows NT$")
        if "driverver" in version:
            entry = version["driverver"]
            date = self.value(entry, 0)
            number = self.value(entry, 1)
            if not re.fullmatch(r"(0[1-9]|1[0-2])/(0[1-9]|[12]\d|3[01])/\d{4}", date):
                self.fail("line %d: DriverVer date %r is not mm/dd/yyyy" % (entry.line, date))
            if not re.fullmatch(r"\d{1,5}(\.\d{1,5}){3}", number):
                self.fail("line %d: DriverVer version %r is not w.x.y.z" % (entry.line, number))
            elif self.args.version and number != self.args.version:
                self.fail("line %d: DriverVer version %s is not the driver's %s" %
                          (entry.line, number, self.args.version))
        if self.args.catalog and "catalogfile" in version:
            name = self.value(version["catalogfile"])
            if name.lower() != self.args.catalog.lower():
                self.fail("CatalogFile is %r, the package's catalog is %r" %
                          (name, self.args.catalog))

    def check_models(self):
        manufacturer = self.inf.section("Manufacturer")
        if manufacturer is None:
            self.fail("no [Manufacturer] section")
            return []
        install_sections = []
        for entry in manufacturer:
            models = self.value(entry, 0)
            decorations = [self.value(entry, i) for i in range(1, len(entry.fields))]
            if not decorations:
                self.fail("line %d: models %s has no NTamd64 decoration; x64 Windows ignores it"
                          % (entry.line, models))
            for decoration in decorations:
                self.check_decoration(entry.line, decoration)
                section = "%s.%s" % (models, decoration)
                if self.require_section(section, entry.line, "decoration %s" % decoration):
                    install_sections += self.check_model_section(section)
        return install_sections

    def check_decoration(self, line, decoration):
        parts = decoration.split(".")
        if parts[0].lower() != "ntamd64":
            self.fail("line %d: decoration %s is not for x64 Windows" % (line, decoration))
            return
        if self.args.min_os:
            need = tuple(int(p) for p in self.args.min_os.split("."))
            have = tuple(int(p) for p in parts[1:3] if p.isdigit())
            if len(have) < 2 or have < need:
                self.fail("line %d: decoration %s offers the driver to Windows before %s, "
                          "which the image needs" % (line, decoration, self.args.min_os))

    def check_model_section(self, section):
        installs = []
        for entry in self.inf.section(section):
            install = self.value(entry, 0)
            installs.append((entry.line, install))
            for index in range(1, len(entry.fields)):
                self.check_hardware_id(entry.line, self.value(entry, index))
        return installs

    def check_hardware_id(self, line, hardware_id):
        match = HARDWARE_ID.match(hardware_id)
        if not match:
            self.fail("line %d: hardware id %r is not a USB vendor and product id" %
                      (line, hardware_id))
            return
        vendor, product = int(match.group(1), 16), int(match.group(2), 16)
        self.ids.add((vendor, product))
        if (vendor, product) != self.boot_id and classify(self.rules, vendor, product) == 0:
            self.fail("line %d: hardware id %s is not a stick the driver serves" %
                      (line, hardware_id))

    def resolve_install(self, line, name, suffix=""):
        for decoration in INSTALL_DECORATIONS:
            candidate = ".".join(p for p in (name, decoration) if p) + suffix
            if self.inf.has(candidate):
                return candidate
        self.fail("line %d: install section %s%s (or a decorated one) does not exist" %
                  (line, name, suffix))
        return None

    def check_install(self, line, name):
        section = self.resolve_install(line, name)
        if not section:
            return
        self.directives(section, DDINSTALL_DIRECTIVES)
        self.check_section_lists(section)
        for suffix, allowed in ((".Services", SERVICES_DIRECTIVES),
                                (".Interfaces", INTERFACES_DIRECTIVES), (".HW", HW_DIRECTIVES)):
            if self.inf.has(section + suffix):
                self.directives(section + suffix, allowed)
                self.check_section_lists(section + suffix)
        services = self.inf.section(section + ".Services")
        if services is None:
            self.fail("[%s] has no .Services section: the device would have no driver" % section)
        for entry in services or []:
            if entry.key and entry.key.lower() == "addservice" and len(entry.fields) > 2:
                target = self.value(entry, 2)
                if self.require_section(target, entry.line, "AddService"):
                    self.directives(target, SERVICE_INSTALL_DIRECTIVES)
                    self.check_section_lists(target)
                    self.check_service_binary(target)
        for entry in self.inf.section(section + ".Interfaces") or []:
            if entry.key and entry.key.lower() == "addinterface" and len(entry.fields) > 2:
                target = self.value(entry, 2)
                if self.require_section(target, entry.line, "AddInterface"):
                    self.directives(target, INTERFACE_INSTALL_DIRECTIVES)
                    self.check_section_lists(target)

    def check_service_binary(self, section):
        for entry in self.inf.section(section):
            if entry.key and entry.key.lower() == "servicebinary":
                binary = self.value(entry).replace("/", "\\").split("\\")[-1]
                if binary.lower() not in self.copied:
                    self.fail("line %d: ServiceBinary %s is not copied by the install" %
                              (entry.line, binary))

    def check_section_lists(self, section):
        for entry in self.inf.section(section):
            if not entry.key or entry.key.lower() not in SECTION_LISTS:
                continue
            for index in range(len(entry.fields)):
                name = self.value(entry, index)
                if not name:
                    continue
                if entry.key.lower() == "copyfiles" and name.startswith("@"):
                    self.check_copied(entry.line, name[1:])
                    continue
                if not self.require_section(name, entry.line, entry.key):
                    continue
                if entry.key.lower() == "copyfiles":
                    for item in self.inf.section(name):
                        self.check_copied(item.line, self.value(item, 0) if item.key is None
                                          else item.key)
                elif entry.key.lower() in ("addreg", "delreg"):
                    self.check_registry_lines(name)

    def check_registry_lines(self, section):
        for item in self.inf.section(section):
            root = self.value(item, 0) if item.key is None else item.key
            if root.lower() not in REGISTRY_ROOTS:
                self.fail("line %d: [%s] writes under %r, which is no registry root" %
                          (item.line, self.inf.names[section.lower()], root))

    def check_copied(self, line, name):
        self.copied.add(name.lower())
        if name.lower() not in self.source_files:
            self.fail("line %d: %s is copied but not listed in [SourceDisksFiles]" % (line, name))

    def check_source_disks(self):
        disks = set()
        for section in ("SourceDisksNames", "SourceDisksNames.amd64"):
            for entry in self.inf.section(section) or []:
                disks.add(entry.key)
        self.source_files = {}
        for section in ("SourceDisksFiles", "SourceDisksFiles.amd64"):
            for entry in self.inf.section(section) or []:
                name = entry.key if entry.key else entry.fields[0]
                self.source_files[name.lower()] = entry
                disk = self.value(entry, 0) if entry.key else ""
                if disk not in disks:
                    self.fail("line %d: %s is on disk %r, which [SourceDisksNames] does not list"
                              % (entry.line, name, disk))

    def check_served_sticks(self):
        for vendor, match, products, kind in self.rules:
            if match == "Exact" and kind != 0 and (vendor, products[0]) not in self.ids:
                self.fail("the driver serves USB\\VID_%04X&PID_%04X, which the INF does not list"
                          % (vendor, products[0]))
        if self.boot_id not in self.ids:
            self.fail("the INF does not list the boot loader USB\\VID_%04X&PID_%04X" %
                      self.boot_id)

    def run(self, rules, boot_id):
        self.rules, self.boot_id = rules, boot_id
        self.ids, self.copied = set(), set()
        self.check_strings()
        self.check_version()
        self.check_source_disks()
        installs = self.check_models()
        for line, name in dict((n.lower(), (l, n)) for l, n in installs).values():
            self.check_install(line, name)
        self.check_served_sticks()
        for name in self.source_files:
            if name not in self.copied:
                self.fail("%s is listed in [SourceDisksFiles] but nothing copies it" % name)
        return self.errors


def check(argv):
    """The faults of the INF named by the command line argv, as messages."""
    parser = argparse.ArgumentParser()
    parser.add_argument("inf")
    parser.add_argument("--classification", required=True)
    parser.add_argument("--boot-id", required=True, help="vendor:product of the boot loader")
    parser.add_argument("--min-os", help="oldest Windows (major.minor) the image runs on")
    parser.add_argument("--version", help="the driver's version, w.x.y.z")
    parser.add_argument("--catalog", help="the package's catalog file name")
    args = parser.parse_args(argv)
    text = open(args.inf, encoding="utf-8-sig").read()
    vendor, product = (int(p, 16) for p in args.boot_id.split(":"))
    return Checker(parse(text), args).run(load_rules(args.classification), (vendor, product))


def main():
    inf = sys.argv[1] if len(sys.argv) > 1 else "INF"
    errors = check(sys.argv[1:])
    for error in errors:
        print("%s: %s" % (inf, error))
    if errors:
        return 1
    print("%s: ok" % inf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
