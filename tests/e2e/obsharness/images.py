"""Reading what a screenshot shows: opacity and OCR."""

import re
import shutil
import subprocess

from .base import HarnessError


def image_alpha_mean(path):
    """Mean opacity (0..1) of a PNG: 0 means nothing was drawn."""
    out = subprocess.run(
        ["convert", path, "-alpha", "extract", "-format", "%[fx:mean]", "info:"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30, check=True)
    return float(out.stdout.decode().strip())


def _tesseract(path, *options):
    tool = shutil.which("tesseract")
    if not tool:
        raise HarnessError("tesseract is not installed (Debian: tesseract-ocr)")
    out = subprocess.run([tool, path, "-", *options], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=60)
    return out.stdout.decode(errors="replace").strip()


def ocr_line(path, charset=None):
    """Reads one line of text from a source screenshot; returns the
    readings of both polarities.

    Sources draw light text on a transparent background; tesseract wants
    dark text on white, so flatten onto black, invert, shrink the large
    glyphs and pad the edges. Both polarities are tried so a dark text
    colour reads as well. charset limits what tesseract may read (for
    example digits, space and "-" for a score), which keeps it from
    taking a 1 for an l.
    """
    readings = []
    for negate in (True, False):
        # Kept beside the screenshot: what OCR saw, for a failing run.
        prepared = re.sub(r"\.png$", "", path) + (
            "-ocr-negated.png" if negate else "-ocr.png")
        cmd = ["convert", path, "-background", "black" if negate else "white",
               "-alpha", "remove", "-alpha", "off"]
        if negate:
            cmd.append("-negate")
        cmd += ["-resize", "x80", "-bordercolor", "white", "-border", "30",
                prepared]
        subprocess.run(cmd, check=True, timeout=30)
        options = ["--psm", "7"]
        if charset:
            options += ["-c", f"tessedit_char_whitelist={charset}"]
        readings.append(_tesseract(prepared, *options))
    return readings


def ocr_screen(path, inverted_path):
    """All text OCR finds on a screenshot of OBS's window, normalised.

    OBS's dark theme reads better inverted; the inverted image is kept at
    inverted_path for a failing run.
    """
    subprocess.run(["convert", path, "-negate", inverted_path], check=True,
                   timeout=30)
    return normalise_text(_tesseract(inverted_path))


def normalise_text(text):
    """Dashes made plain and white space collapsed, for comparing OCR."""
    text = text.replace("\u2014", "-").replace("\u2013", "-")
    return " ".join(text.split())
