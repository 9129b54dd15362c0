# SPDX-License-Identifier: Apache-2.0
"""Decodes SMS-SUBMIT PDUs (hex, one a line, with their SMSC part) with
python3-gammu, a codec independent of the driver's, and prints them as JSON."""
import binascii
import json
import sys

import gammu

out = []
for line in open(sys.argv[1]):
    line = line.strip()
    if not line:
        continue
    sms = gammu.DecodePDU(binascii.unhexlify(line), SMSC=True)
    udh = sms['UDH']
    # The binding sizes Text by the septet count: with extension characters
    # it runs past the terminator.
    text = (sms['Text'] or '').split('\x00')[0]
    out.append({'number': sms['Number'], 'text': text, 'coding': sms['Coding'],
                'part': udh['PartNumber'], 'parts': udh['AllParts'], 'reference': udh['ID8bit']})
print(json.dumps(out))
