// What each subsystem defines in the module, one function per group of
// names. module.cpp calls them in the order in which the module defines its
// names; that list is the one place the order is fixed.
#pragma once

#include "module/common.hpp"

namespace vq {

void register_frame(py::module_& m);                 // facilities, constants, log_lock
void register_log(py::module_& m);                   // the seven log writers
void register_env_probes(py::module_& m);            // is_spec_env, is_digit_str
void register_security(py::module_& m);              // get_signature, encrypt_body, decrypt_body
void register_env_records(py::module_& m);           // gen_new_req_id, SecretInfo, SpecEnv, spec_env
void register_retry_exception(py::module_& m);       // VQToSpecRetryNotifyException
void register_call_body(py::module_& m);             // CorpModelCallBack
void register_inbound_messages(py::module_& m);      // VQToSpecHTTPReqDecoder, VQToSpecHTTPRspConstructor
void register_outbound_messages(py::module_& m);     // SpecToVQHTTPRspDecoder, SpecToVQHTTPReqConstructor, ChatDataSDK
void register_debug_switches(py::module_& m);        // spec_open_debug_mode, spec_debug_use_test_domain
void register_internal_error_body(py::module_& m);   // spec_make_internal_error_rsp_data
void register_version(py::module_& m);               // spec_get_sdk_version
void register_notify_id(py::module_& m);             // spec_gen_notify_id

}  // namespace vq
