// Body handlers (one per MIME type, owned by the user agent) and the per-dialog body contexts.
#pragma once

#include <osipparser2/osip_message.h>

struct OsipDialog;
struct OsipUa;
struct BodyHandler;
struct BodyContext;

struct BodyHandlerClass {
    const char* mime_type;
    BodyContext* (*create_context)(BodyHandler* handler, OsipDialog* dialog);
    void (*destroy)(BodyHandler* handler);
};

struct BodyHandler {
    const BodyHandlerClass* klass;
    OsipUa* ua;
};

struct BodyContextClass {
    void (*destroy)(BodyContext* ctx);
    // Reads a request's body (an offer); returns the negotiation status, -1 when unreadable.
    int (*notify_inc_req)(BodyContext* ctx, osip_message_t* msg, const char* body);
    // Reads a response's body (an answer); 0, or a negative value / 500 on failure.
    int (*notify_inc_resp)(BodyContext* ctx, osip_message_t* msg, const char* body);
    // Writes the body of an outgoing request / response.
    int (*gen_out_req)(BodyContext* ctx, osip_message_t* msg);
    int (*gen_out_resp)(BodyContext* ctx, osip_message_t* msg);
};

struct BodyContext {
    const BodyContextClass* klass;
    BodyHandler* handler;
    OsipDialog* dialog;
};

inline const char* body_handler_mime(const BodyHandler* h) { return h->klass->mime_type; }
inline void body_context_destroy(BodyContext* ctx) {
    if (ctx != nullptr) ctx->klass->destroy(ctx);
}
