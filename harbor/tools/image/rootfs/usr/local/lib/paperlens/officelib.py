"""What the image's office fronts (soffice, unoconv) and its resident office share.

A container keeps one resident office (see officed): an office process started ahead of time,
which takes documents over a UNO pipe. The fronts hand a conversion to it over a control socket
and fall back to a cold run of the distribution's tool when it is busy beyond a short wait,
still starting, or unhealthy. Everything of the resident lives in PRIVATE_DIR, a folder of the
container's own /tmp that only root may enter.
"""

import json
import os
import secrets
import signal
import socket
import subprocess
import time

PRIVATE_DIR = "/tmp/paperlens-office"
CONTROL_SOCKET = PRIVATE_DIR + "/control"
STATE_FILE = PRIVATE_DIR + "/state.json"
DISTRIB_SOFFICE = "/usr/lib/libreoffice/program/soffice"
# How long a front waits for a resident that is busy with another document or still starting
# before it converts cold itself.
WAIT_SECONDS = 3.0
# Set (to anything) in a call's environment to skip the resident.
COLD_VARIABLE = "PAPERLENS_OFFICE_COLD"
# A cold office start with a new profile takes a few seconds; the caller's own time limit
# (the package runs every tool under `timeout`) bounds the whole call anyway.
CONNECT_SECONDS = 60
# Filter options that are text even when they look like numbers ("PageRange=3" is page 3).
TEXT_OPTIONS = {"PageRange"}

# Export filters by document kind, as the office's own command line picks them for "pdf".
PDF_FILTERS = (
    ("com.sun.star.sheet.SpreadsheetDocument", "calc_pdf_Export"),
    ("com.sun.star.presentation.PresentationDocument", "impress_pdf_Export"),
    ("com.sun.star.drawing.DrawingDocument", "draw_pdf_Export"),
    ("com.sun.star.text.WebDocument", "writer_web_pdf_Export"),
    ("com.sun.star.text.GlobalDocument", "writer_globaldocument_pdf_Export"),
    ("com.sun.star.text.TextDocument", "writer_pdf_Export"),
    ("com.sun.star.formula.FormulaProperties", "math_pdf_Export"),
)

# The profile settings of an office that reads documents it was merely given: no macros, no
# links or external data refreshed, no recovery or lock files of other people's documents.
SAFE_PROFILE = """<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry"
           xmlns:xs="http://www.w3.org/2001/XMLSchema"
           xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="MacroSecurityLevel" oor:op="fuse"><value>3</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="DisableMacrosExecution" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Security/Scripting"><prop oor:name="BlockUntrustedRefererLinks" oor:op="fuse"><value>true</value></prop></item>
<item oor:path="/org.openoffice.Office.Writer/Content/Update"><prop oor:name="Link" oor:op="fuse"><value>2</value></prop></item>
<item oor:path="/org.openoffice.Office.Calc/Content/Update"><prop oor:name="Link" oor:op="fuse"><value>2</value></prop></item>
<item oor:path="/org.openoffice.Office.Common/Misc"><prop oor:name="UseLocking" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Recovery/AutoSave"><prop oor:name="Enabled" oor:op="fuse"><value>false</value></prop></item>
<item oor:path="/org.openoffice.Office.Recovery/RecoveryInfo"><prop oor:name="Enabled" oor:op="fuse"><value>false</value></prop></item>
</oor:items>
"""


class UsageError(Exception):
    pass


def filter_option(text):
    """"NAME=VALUE" as a PDF filter option: (name, value typed as the office expects)."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise UsageError("filter option %r is not NAME=VALUE" % text)
    if name in TEXT_OPTIONS:
        return name, value
    if value in ("True", "true"):
        return name, True
    if value in ("False", "false"):
        return name, False
    try:
        return name, int(value)
    except ValueError:
        return name, value


def write_safe_profile(profile):
    os.makedirs(os.path.join(profile, "user"), mode=0o700, exist_ok=True)
    with open(os.path.join(profile, "user", "registrymodifications.xcu"), "w") as f:
        f.write(SAFE_PROFILE)


class Office:
    """An office listener on a private pipe. `profile` None: the caller's default profile.
    The office makes its pipes in /tmp (where it always does), named after `pipe` and after
    the profile.

    `new_session` puts the office in a process group of its own (so that stopping it reaches
    every process it started); otherwise it stays in the caller's.
    """

    def __init__(self, profile=None, new_session=True, pipe=None, env=None):
        self.pipe = pipe or "paperlens-fitpage-%d-%s" % (os.getpid(), secrets.token_hex(4))
        args = [DISTRIB_SOFFICE, "--headless", "--invisible", "--nocrashreport", "--nodefault",
                "--nofirststartwizard", "--nologo", "--norestore", "--nolockcheck"]
        if profile is not None:
            args.append("-env:UserInstallation=file://" + profile)
        args.append("--accept=pipe,name=%s;urp;StarOffice.ComponentContext" % self.pipe)
        self.proc = subprocess.Popen(
            args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=new_session, env=env)
        self.desktop = None

    def connect(self):
        import uno
        from com.sun.star.connection import NoConnectException

        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.monotonic() + CONNECT_SECONDS
        while True:
            try:
                ctx = resolver.resolve(
                    "uno:pipe,name=%s;urp;StarOffice.ComponentContext" % self.pipe)
                break
            except NoConnectException:
                if self.proc.poll() is not None:
                    raise RuntimeError("the office process ended (status %d) before it listened"
                                       % self.proc.returncode)
                if time.monotonic() > deadline:
                    raise RuntimeError("no office listener after %d seconds" % CONNECT_SECONDS)
                time.sleep(0.05)
        self.desktop = ctx.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", ctx)
        return self.desktop

    def stop(self):
        if self.desktop is not None:
            try:
                self.desktop.terminate()
            except Exception:
                pass  # The bridge goes down with the office; that is the normal end.
            self.desktop = None
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()


def props(**values):
    from com.sun.star.beans import PropertyValue

    out = []
    for name, value in values.items():
        p = PropertyValue()
        p.Name = name
        p.Value = value
        out.append(p)
    return tuple(out)


def pdf_filter(doc):
    for service, name in PDF_FILTERS:
        if doc.supportsService(service):
            return name
    raise RuntimeError("no PDF export for this kind of document")


def convert(desktop, source, target, options, fitpage):
    """Loads `source` and writes it to `target` as PDF with the filter options `options`
    ([(name, value)]); with `fitpage` every sheet is made one page wide first."""
    import uno

    # Never run document macros or refresh external links of a document we were merely given.
    doc = desktop.loadComponentFromURL(
        uno.systemPathToFileUrl(os.path.abspath(source)), "_blank", 0,
        props(Hidden=True, ReadOnly=True, MacroExecutionMode=0, UpdateDocMode=0))
    if doc is None:
        raise RuntimeError("cannot load %s" % source)
    try:
        if fitpage:
            if not hasattr(doc, "Sheets"):
                raise RuntimeError("%s is not a spreadsheet" % source)
            styles = doc.StyleFamilies.getByName("PageStyles")
            sheets = doc.Sheets
            for i in range(sheets.Count):
                style = styles.getByName(sheets.getByIndex(i).PageStyle)
                style.ScaleToPagesX = 1  # every column on one page width
                style.ScaleToPagesY = 0  # as many pages down as the rows need
        store = dict(FilterName=pdf_filter(doc), Overwrite=True)
        if options:
            store["FilterData"] = uno.Any("[]com.sun.star.beans.PropertyValue",
                                          props(**dict(options)))
        doc.storeToURL(uno.systemPathToFileUrl(os.path.abspath(target)), props(**store))
        return store["FilterName"]
    finally:
        doc.close(True)


def part_name(target):
    """A name beside `target` for the output while it is being written."""
    head, tail = os.path.split(target)
    return os.path.join(head, ".%s.part-%s" % (tail, secrets.token_hex(4)))


class Resident:
    """A front's request to the container's resident office."""

    UNAVAILABLE = "unavailable"  # busy, starting or unhealthy: convert cold
    FAILED = "failed"            # a healthy office could not convert the document
    DONE = "done"                # the PDF is complete (at the part name until moved)

    @staticmethod
    def convert(source, target, options, fitpage):
        """Returns (status, message). On DONE the PDF is in place at `target`."""
        if os.environ.get(COLD_VARIABLE):
            return Resident.UNAVAILABLE, "cold run asked for"
        part = part_name(target)
        try:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
            s.connect(CONTROL_SOCKET)
        except OSError as e:
            return Resident.UNAVAILABLE, "no resident office: %s" % e
        with s:
            job = {"source": os.path.abspath(source), "output": part, "options": options,
                   "fitpage": bool(fitpage), "wait": WAIT_SECONDS,
                   "nice": os.getpriority(os.PRIO_PROCESS, 0)}
            try:
                s.sendall((json.dumps(job) + "\n").encode())
                reply = b""
                # No bound here: the conversion takes what it takes, and the caller's time
                # limit ends us (the resident notices and recycles the office).
                while not reply.endswith(b"\n"):
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    reply += chunk
                answer = json.loads(reply.decode() or "{}")
            except (OSError, ValueError) as e:
                return Resident.UNAVAILABLE, "resident office lost: %s" % e
            status = answer.get("status", Resident.UNAVAILABLE)
            if status != Resident.DONE:
                return status, answer.get("message", "")
            try:
                # The output appears whole or not at all.
                os.rename(part, target)
            except OSError as e:
                try:
                    os.unlink(part)
                except OSError:
                    pass
                return Resident.FAILED, "cannot write %s: %s" % (target, e)
            # Hanging up tells the resident we are done with the part name.
            return Resident.DONE, answer.get("filter", "")
