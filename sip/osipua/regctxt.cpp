// Registration context: registrar, address of record, password, Call-ID, From tag and CSeq.
#include "sip/osipua/regctxt.h"

#include <cstring>

#include "sip/osipua/osip_alloc.h"

namespace {
void SetText(char** field, const char* text) {
    UA_FREE(*field);
    *field = text != nullptr ? UA_STRDUP(text) : nullptr;
}
}  // namespace

RegCtxt* reg_ctxt_new() {
    auto* ctx = static_cast<RegCtxt*>(UA_MALLOC(sizeof(RegCtxt)));
    if (ctx == nullptr) return nullptr;
    memset(ctx, 0, sizeof *ctx);
    ctx->ref_count = 1;
    return ctx;
}

void reg_ctxt_set_registrar(RegCtxt* ctx, const char* text) {
    if (ctx != nullptr) SetText(&ctx->registrar, text);
}
void reg_ctxt_set_aor(RegCtxt* ctx, const char* text) {
    if (ctx != nullptr) SetText(&ctx->address_of_record, text);
}
void reg_ctxt_set_password(RegCtxt* ctx, const char* text) {
    if (ctx != nullptr) SetText(&ctx->password, text);
}

void reg_ctxt_free(RegCtxt* ctx) {
    if (ctx == nullptr) return;
    UA_FREE(ctx->registrar);
    UA_FREE(ctx->password);
    UA_FREE(ctx->address_of_record);
    UA_FREE(ctx->call_id);
    UA_FREE(ctx->from_tag);
    UA_FREE(ctx);
}

void reg_ctxt_ref(RegCtxt* ctx) {
    if (ctx != nullptr) ++ctx->ref_count;
}

void reg_ctxt_unref(RegCtxt* ctx) {
    if (ctx == nullptr) return;
    if (--ctx->ref_count <= 0) reg_ctxt_free(ctx);
}
