#!/usr/bin/python3
"""Makes a print-ready copy of a PDF.

    convertPrint.py INPUT.pdf OUTPUT.pdf

The copy is decrypted (a document that only an owner password restricts opens without one; a
document that needs a password to be opened at all is refused), and its form fields and
annotations are drawn into the pages they stand on, as a printer would draw them. Exits 0 with
the output written; otherwise non-zero with a message on standard error, and the output left
empty.

Exit codes: 0 done, 1 bad usage, 2 the input needs a password, 3 the input is no readable PDF,
4 the output cannot be written.
"""
import sys

import pikepdf


def fail(code, message):
    sys.stderr.write("convertPrint: %s\n" % message)
    sys.exit(code)


def main(argv):
    if len(argv) != 3:
        fail(1, "usage: convertPrint.py INPUT.pdf OUTPUT.pdf")
    source, target = argv[1], argv[2]
    try:
        pdf = pikepdf.open(source)
    except pikepdf.PasswordError:
        fail(2, "the document needs a password to be opened")
    except (pikepdf.PdfError, OSError, ValueError) as e:
        fail(3, "cannot read the document: %s" % e)
    with pdf:
        try:
            if "/AcroForm" in pdf.Root:
                # Fields whose look was never drawn (filled in by a program) get one first.
                pdf.generate_appearance_streams()
            pdf.flatten_annotations(mode="print")
            if "/AcroForm" in pdf.Root:
                del pdf.Root.AcroForm
        except (pikepdf.PdfError, ValueError, KeyError) as e:
            fail(3, "cannot flatten the document: %s" % e)
        try:
            pdf.save(target, encryption=False)
        except (pikepdf.PdfError, OSError) as e:
            fail(4, "cannot write %s: %s" % (target, e))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
