// Registration context: what stays the same across the REGISTER requests of one registration.
#pragma once

struct RegCtxt {
    char* registrar;         // "sip:%s" with the registrar host
    char* address_of_record; // "sip:%s@%s"; From and To of REGISTER
    char* password;          // for Digest
    unsigned cseq_number;    // number of the last REGISTER
    char* call_id;           // fixed for the registration
    char* from_tag;          // fixed for the registration
    int expires;             // seconds, printed into "Expires"
    int spare;
    int ref_count;           // 1 at creation, raised when a dialog takes the context
};

// Zero-filled context with reference count 1; null when memory runs out.
RegCtxt* reg_ctxt_new();
// Store a copy of the text (or null), freeing the old one.
void reg_ctxt_set_registrar(RegCtxt* ctx, const char* text);
void reg_ctxt_set_aor(RegCtxt* ctx, const char* text);
void reg_ctxt_set_password(RegCtxt* ctx, const char* text);
// Frees the texts and the context; null is ignored.
void reg_ctxt_free(RegCtxt* ctx);
// Reference counting: a dialog that keeps the context takes a reference and drops it when it
// goes; the last drop frees the context.
void reg_ctxt_ref(RegCtxt* ctx);
void reg_ctxt_unref(RegCtxt* ctx);
