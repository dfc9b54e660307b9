// RAck header of reliable provisional responses (RFC 3262): record, parser, printer and the
// message-level accessors. libosip2 keeps the header as a generic "RAck" header of the message.
#pragma once

#include <osipparser2/osip_message.h>

struct osip_rack_t {
    char* method;           // method of the request being acknowledged, "INVITE"
    char* cseq_number;      // CSeq number of that request, decimal text
    char* response_number;  // RSeq of the reliable provisional response, decimal text
};

// Allocates a record with three empty fields; -1 when allocation fails.
int osip_rack_init(osip_rack_t** rack);
// Splits "response-number SP cseq-number SP method"; -1 when a part is missing or empty.
int osip_rack_parse(osip_rack_t* rack, const char* hvalue);
// Frees the texts and the record; null is ignored.
void osip_rack_free(osip_rack_t* rack);
// Store a text; the record takes ownership (tagged allocation) and frees the old one.
void osip_rack_set_method(osip_rack_t* rack, char* value);
void osip_rack_set_cseq_number(osip_rack_t* rack, char* value);
void osip_rack_set_response_number(osip_rack_t* rack, char* value);
// Prints "response-number cseq-number method" into a new tagged string; -1 on a missing part.
int osip_rack_to_str(const osip_rack_t* rack, char** dest);

// The message's RAck handler: an empty or missing value is ignored (0); a message that already
// has a RAck gives -1; a value that does not parse gives -1 and leaves the message unchanged;
// otherwise the header is added and printed with the message.
int osip_message_set_rack(osip_message_t* sip, const char* hvalue);
// The message's RAck (its first RAck header) parsed into a new record; -1 when it has none or
// the first one does not parse. The caller frees the record.
int osip_message_get_rack(const osip_message_t* sip, osip_rack_t** rack);
// Number of RAck headers the message carries.
int osip_message_rack_count(const osip_message_t* sip);
