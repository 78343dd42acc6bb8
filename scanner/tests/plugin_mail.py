#!/usr/bin/env python3
"""Mail messages for the scanner plug-in's tests, through Python's email package.

  plugin_mail.py build OUT [NAME=PATH[=TYPE]]...
      writes a multipart message to OUT: a short text body, then each file
      attached under NAME as base64 (content type TYPE, by default
      application/octet-stream).
  plugin_mail.py parts FILE
      reads FILE as a mail message and prints one line per leaf part:
      content type TAB file name TAB number of defects TAB the decoded
      payload as a JSON string (bytes as Latin-1). A message the package
      finds defects in at its top level counts them on the first line.
"""
import email
import email.policy
import json
import sys
from email.message import EmailMessage


def build(out, attachments):
    message = EmailMessage()
    message["From"] = "sender@example.org"
    message["To"] = "rcpt@example.org"
    message["Subject"] = "plug-in test"
    message.set_content("Hello.\n")
    for attachment in attachments:
        fields = attachment.split("=")
        name, path = fields[0], fields[1]
        ctype = fields[2] if len(fields) > 2 else "application/octet-stream"
        maintype, subtype = ctype.split("/")
        with open(path, "rb") as f:
            data = f.read()
        message.add_attachment(data, maintype=maintype, subtype=subtype, filename=name)
    with open(out, "wb") as f:
        f.write(message.as_bytes(policy=email.policy.SMTP))


def parts(path):
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    top_defects = len(message.defects)
    for part in message.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        defects = len(part.defects) + top_defects
        top_defects = 0
        print("%s\t%s\t%d\t%s" % (part.get_content_type(), part.get_filename() or "", defects,
                                  json.dumps(payload.decode("latin-1"))))


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "build":
        build(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 3 and sys.argv[1] == "parts":
        parts(sys.argv[2])
    else:
        sys.exit(__doc__)
