#include "platform/wlan/wlan_radio.h"

#include "platform/files/root_path.h"

const WlanRadioOps& wlanRadio()
{
    static const WlanRadioOps& chosen = rootPrefix().empty() ? realWlanRadioOps : simWlanRadioOps;
    return chosen;
}
