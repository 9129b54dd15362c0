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
    out.append({'number': sms['Number'], 'text': sms['Text'] or '', 'coding': sms['Coding'],
                'part': udh['PartNumber'], 'parts': udh['AllParts'], 'reference': udh['ID8bit']})
print(json.dumps(out))
