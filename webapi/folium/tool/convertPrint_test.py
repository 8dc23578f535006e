#!/usr/bin/python3
"""The print tool against real PDFs made with pikepdf: encrypted, annotated, with form fields."""
import os
import subprocess
import sys
import tempfile
import unittest

import pikepdf

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "convertPrint.py")


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


def annotated(path, **save_args):
    pdf = pikepdf.new()
    pdf.add_blank_page(page_size=(300, 300))
    page = pdf.pages[0]
    # A text annotation whose look is drawn by its own appearance stream.
    look = pdf.make_stream(b"0 0 1 rg 0 0 50 20 re f")
    look.Type = pikepdf.Name.XObject
    look.Subtype = pikepdf.Name.Form
    look.BBox = [0, 0, 50, 20]
    annot = pdf.make_indirect(pikepdf.Dictionary(
        Type=pikepdf.Name.Annot, Subtype=pikepdf.Name.Square, Rect=[10, 10, 60, 30], F=4,
        AP=pikepdf.Dictionary(N=look)))
    # A filled-in text field.
    field_look = pdf.make_stream(b"/Tx BMC BT /Helv 10 Tf 2 5 Td (filled) Tj ET EMC")
    field_look.Type = pikepdf.Name.XObject
    field_look.Subtype = pikepdf.Name.Form
    field_look.BBox = [0, 0, 100, 20]
    field = pdf.make_indirect(pikepdf.Dictionary(
        Type=pikepdf.Name.Annot, Subtype=pikepdf.Name.Widget, FT=pikepdf.Name.Tx,
        T=pikepdf.String("name"), V=pikepdf.String("filled"), Rect=[100, 100, 200, 120], F=4,
        AP=pikepdf.Dictionary(N=field_look)))
    page.Annots = pdf.make_indirect([annot, field])
    pdf.Root.AcroForm = pdf.make_indirect(pikepdf.Dictionary(Fields=[field]))
    pdf.save(path, **save_args)


class ConvertPrintTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.src = os.path.join(self.dir.name, "in.pdf")
        self.out = os.path.join(self.dir.name, "out.pdf")

    def tearDown(self):
        self.dir.cleanup()

    def test_annotations_and_fields_are_drawn_into_the_page(self):
        annotated(self.src)
        r = run(self.src, self.out)
        self.assertEqual(0, r.returncode, r.stderr)
        with pikepdf.open(self.out) as pdf:
            self.assertEqual(1, len(pdf.pages))
            self.assertNotIn("/Annots", pdf.pages[0])
            self.assertNotIn("/AcroForm", pdf.Root)
            # The looks now belong to the page's own content.
            content = b"".join(pikepdf.unparse_content_stream(pikepdf.parse_content_stream(pdf.pages[0])).split())
            self.assertIn(b"Do", content)

    def test_an_owner_password_alone_does_not_stop_printing(self):
        annotated(self.src, encryption=pikepdf.Encryption(
            owner="owner-secret", user="", allow=pikepdf.Permissions(print_lowres=False, print_highres=False)))
        with pikepdf.open(self.src) as pdf:
            self.assertTrue(pdf.is_encrypted)
        r = run(self.src, self.out)
        self.assertEqual(0, r.returncode, r.stderr)
        with pikepdf.open(self.out) as pdf:
            self.assertFalse(pdf.is_encrypted)
        # pdfinfo reads it.
        self.assertEqual(0, subprocess.run(["pdfinfo", self.out], capture_output=True).returncode)

    def test_a_document_that_needs_a_password_is_refused(self):
        annotated(self.src, encryption=pikepdf.Encryption(owner="o", user="u"))
        r = run(self.src, self.out)
        self.assertEqual(2, r.returncode)
        self.assertIn("needs a password", r.stderr)

    def test_what_is_no_pdf_and_bad_usage_fail_clearly(self):
        with open(self.src, "wb") as f:
            f.write(b"%PDF-1.4 nothing here")
        r = run(self.src, self.out)
        self.assertEqual(3, r.returncode)
        self.assertIn("cannot read", r.stderr)
        self.assertEqual(1, run(self.src).returncode)
        annotated(self.src)
        r = run(self.src, os.path.join(self.dir.name, "no", "such", "dir.pdf"))
        self.assertEqual(4, r.returncode)
        self.assertIn("cannot write", r.stderr)


if __name__ == "__main__":
    unittest.main()
