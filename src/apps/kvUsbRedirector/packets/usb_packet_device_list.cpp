#include "usb_packet_device_list.h"

void Usb_packet_device_list::process_return() {}
