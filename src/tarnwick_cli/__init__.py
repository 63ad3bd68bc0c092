"""The `tarnwick` command: line segments of image files and rectified views, in batches."""
