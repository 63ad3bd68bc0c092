"""Detection results as text: one JSON Lines record per image, or one CSV row per segment."""

import contextlib
import csv
import io
import json
import os
import stat
import sys
from collections.abc import Iterator
from typing import BinaryIO

from tarnwick_cli.analysis import SEGMENT_FIELDS
from tarnwick_cli.atomic import replaced_path

# "width" and "height" name the image in a JSON record, but a CSV row also holds the segment's own
# width, so the image's columns carry a prefix there.
CSV_HEADER = ("path", "image_width", "image_height", "scale", "seconds") + SEGMENT_FIELDS


def json_record(path: str, scale: float, analysis: dict) -> str:
    """One line; floats are written in their shortest exact form, so values survive a round trip."""
    record = {"path": path, "width": analysis["width"], "height": analysis["height"],
              "scale": scale, "seconds": analysis["seconds"],
              "segments": [dict(zip(SEGMENT_FIELDS, values)) for values in analysis["segments"]]}
    return json.dumps(record, separators=(",", ":")) + "\n"


def csv_rows(path: str, scale: float, analysis: dict) -> str:
    """One row per segment; an image without segments gets one row, its segment columns empty."""
    image = [path, analysis["width"], analysis["height"], scale, analysis["seconds"]]
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerows(
        [image + values for values in analysis["segments"]]
        or [image + [""] * len(SEGMENT_FIELDS)])
    return text.getvalue()


class ResultWriter:
    """Writes whole records to a binary stream. In a regular file, a record cut short by an
    interrupt is cut off again before anything else is written, and when the run ends; one that
    reached the file whole is kept, even if the interrupt came before this writer saw it done."""

    def __init__(self, stream: BinaryIO, csv_format: bool):
        self._stream = stream
        self._format = csv_rows if csv_format else json_record
        # Only a regular file can be cut back; pipes, terminals and devices are written as they go.
        self._regular_file = stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
        self._complete = stream.tell() if self._regular_file else 0
        self._end_when_whole = self._complete  # where the record being written ends
        if csv_format:
            self._write(",".join(CSV_HEADER) + "\n")

    def _write(self, text: str) -> None:
        self.cut_partial()
        data = text.encode("utf-8", "surrogateescape")
        self._end_when_whole = self._complete + len(data)
        self._stream.write(data)
        self._stream.flush()  # streamed: a reader of a pipe sees each image as it is done
        if self._regular_file:
            self._complete = self._stream.tell()

    def write(self, path: str, scale: float, analysis: dict) -> None:
        self._write(self._format(path, scale, analysis))

    def cut_partial(self) -> None:
        if self._regular_file:
            # Seeking writes out what the stream still holds; a record now ending the file where
            # it was to end was written whole.
            if self._stream.seek(0, os.SEEK_END) == self._end_when_whole:
                self._complete = self._end_when_whole
            self._stream.seek(self._complete)
            self._stream.truncate()


@contextlib.contextmanager
def result_stream(path: str | None) -> Iterator[BinaryIO]:
    """Standard output, or a file that replaces path only when the block ends normally."""
    if path is None or path == "-":
        yield sys.stdout.buffer
        return
    with replaced_path(path) as temporary, open(temporary, "wb") as stream:
        yield stream
