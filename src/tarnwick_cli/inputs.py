"""The images a detect run covers: files named on the command line, image files in folders."""

import os
from dataclasses import dataclass
from pathlib import PurePath

# Suffixes that a folder walk picks up (compared in lower case). A file named on the command line
# is read whatever its suffix, so that a misnamed image still works and a non-image is reported.
IMAGE_SUFFIXES = frozenset(
    (".bmp", ".gif", ".jpe", ".jpeg", ".jpg", ".pbm", ".pgm", ".png", ".pnm", ".ppm", ".tif",
     ".tiff", ".webp"))


@dataclass(frozen=True)
class ImageInput:
    """One image to process: its path as the user sees it, and its place below the overlays."""

    path: str
    overlay_name: PurePath
    problem: str | None = None  # known before reading: the image fails with this message


def _folder_images(folder: str, skipped: str | None) -> list[ImageInput]:
    """The folder's image files at any depth, sorted by their path below it, so that the same tree
    always gives the same order. The folder skipped (its real path) is not entered."""
    found = []

    def unreadable(error: OSError) -> None:
        path = error.filename or folder
        message = "cannot list this folder: " + (error.strerror or str(error)).lower()
        found.append(ImageInput(path, PurePath(os.path.relpath(path, folder)), message))

    for here, folders, files in os.walk(folder, onerror=unreadable):
        folders[:] = [name for name in folders
                      if os.path.realpath(os.path.join(here, name)) != skipped]
        for name in files:
            if os.path.splitext(name)[1].lower() in IMAGE_SUFFIXES:
                path = os.path.join(here, name)
                found.append(ImageInput(path, PurePath(os.path.relpath(path, folder))))
    return sorted(found, key=lambda image: image.overlay_name.parts)


def expand(arguments: list[str], overlay_folder: str | None) -> list[ImageInput]:
    """Every image in argument order; a folder contributes its images, recursively, in sorted order.
    An overlay folder inside an input folder is left out, or a second run would take the first
    run's overlays for input."""
    skipped = None if overlay_folder is None else os.path.realpath(overlay_folder)
    images = []
    for argument in arguments:
        if os.path.isdir(argument):
            images += _folder_images(argument, skipped)
        else:
            images.append(ImageInput(argument, PurePath(os.path.basename(argument) or argument)))
    return images if overlay_folder is None else _without_overlay_clashes(images)


def _without_overlay_clashes(images: list[ImageInput]) -> list[ImageInput]:
    """Overlays mirror each folder's tree, and a file named directly goes to the top of the overlay
    folder; an image whose overlay file an earlier image already claims fails instead of silently
    replacing it."""
    owners: dict[PurePath, str] = {}
    kept = []
    for image in images:
        if image.problem is None:
            target = overlay_file(image)
            if target in owners:
                image = ImageInput(image.path, image.overlay_name,
                                   f"its overlay would replace the one of {owners[target]}")
            else:
                owners[target] = image.path
        kept.append(image)
    return kept


def overlay_file(image: ImageInput) -> PurePath:
    """Where the image's overlay goes, relative to the overlay folder."""
    return image.overlay_name.with_suffix(".png")
