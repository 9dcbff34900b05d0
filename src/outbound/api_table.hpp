// The API catalogue of ChatDataSDK: one row per method, in the order the
// class defines them. Every row shares one implementation (see outbound.cpp).
#pragma once

#include <vector>

namespace vq {

struct ApiEntry {
    const char* name;
    const char* path;  // null: deprecated alias of knowledge_base_list
    const char* doc;
};

inline const std::vector<ApiEntry>& api_table() {
    static const std::vector<ApiEntry> table = {
        {"sync_msg", "/cgi-bin/chatdata/sync_msg",
         "Chat content: fetch chat records."},
        {"get_msg_list_by_page_id", "/cgi-bin/chatdata/get_msg_list_by_page_id",
         "Chat content: fetch chat records by page id."},
        {"get_group_chat", "/cgi-bin/chatdata/groupchat/get",
         "Get an internal group chat: owner, creation time, members and their join times."},
        {"get_agree_status_single", "/cgi-bin/chatdata/getagreestatus/single",
         "Get in batch the consent status of external members in one-to-one chats."},
        {"get_agree_status_room", "/cgi-bin/chatdata/getagreestatus/room",
         "Get the consent status of the external contacts in a group chat."},
        {"set_hide_sensitiveinfo_config", "/cgi-bin/chatdata/set_hide_sensitiveinfo_config",
         "Set whether the chat component masks sensitive information."},
        {"get_hide_sensitiveinfo_config", "/cgi-bin/chatdata/get_hide_sensitiveinfo_config",
         "Get the sensitive-information masking setting."},
        {"search_chat", "/cgi-bin/chatdata/search_chat",
         "Search the names of the company's group chats."},
        {"search_msg", "/cgi-bin/chatdata/search_msg",
         "Search the content of the company's chats."},
        {"create_rule", "/cgi-bin/chatdata/keyword/create_rule",
         "Create a keyword rule (at most 100 rules)."},
        {"get_rule_list", "/cgi-bin/chatdata/keyword/get_rule_list",
         "List the company's keyword rules."},
        {"get_rule_detail", "/cgi-bin/chatdata/keyword/get_rule_detail",
         "Get the details of a keyword rule."},
        {"update_rule", "/cgi-bin/chatdata/keyword/update_rule",
         "Modify a keyword rule."},
        {"delete_rule", "/cgi-bin/chatdata/keyword/delete_rule",
         "Delete a keyword rule."},
        {"get_hit_msg_list", "/cgi-bin/chatdata/keyword/get_hit_msg_list",
         "Get the chat records of a period that hit keyword rules or key behaviours."},
        {"create_sentiment_task", "/cgi-bin/chatdata/analyze/create_sentiment_task",
         "Sentiment analysis of chat messages: create the task."},
        {"get_sentiment_result", "/cgi-bin/chatdata/analyze/get_sentiment_result",
         "Sentiment analysis: get the result."},
        {"create_summary_task", "/cgi-bin/chatdata/analyze/create_summary_task",
         "Summary extraction for a batch of chats: create the task."},
        {"get_summary_result", "/cgi-bin/chatdata/analyze/get_summary_result",
         "Summary extraction: get the result."},
        {"create_customer_tag_task", "/cgi-bin/chatdata/analyze/create_customer_tag_task",
         "Customer tag matching over a batch of chats: create the task."},
        {"get_customer_tag_result", "/cgi-bin/chatdata/analyze/get_customer_tag_result",
         "Customer tag matching: get the result."},
        {"create_recommend_dialog_task", "/cgi-bin/chatdata/analyze/create_recommend_dialog_task",
         "Reply-script recommendation from a knowledge base: create the task."},
        {"get_recommend_dialog_result", "/cgi-bin/chatdata/analyze/get_recommend_dialog_result",
         "Reply-script recommendation: get the result."},
        {"create_model_task", "/cgi-bin/chatdata/analyze/create_model_task",
         "Analysis with the provider's own language model: create the task."},
        {"get_model_task_result", "/cgi-bin/chatdata/analyze/get_model_task_result",
         "Analysis with the provider's own model: get the result."},
        {"document_list", nullptr,
         "Deprecated: use knowledge_base_list, which this calls."},
        {"knowledge_base_list", "/cgi-bin/knowledgebase/list",
         "List the knowledge bases the company has authorised to the provider."},
        {"knowledge_base_create", "/cgi-bin/knowledgebase/create",
         "Knowledge set management: create."},
        {"knowledge_base_detail", "/cgi-bin/knowledgebase/detail",
         "Knowledge set management: get the details."},
        {"knowledge_base_add_doc", "/cgi-bin/knowledgebase/add_document",
         "Knowledge set management: add content."},
        {"knowledge_base_remove_doc", "/cgi-bin/knowledgebase/remove_document",
         "Knowledge set management: remove content."},
        {"knowledge_base_modify_name", "/cgi-bin/knowledgebase/rename",
         "Knowledge set management: rename."},
        {"knowledge_base_delete", "/cgi-bin/knowledgebase/delete",
         "Knowledge set management: delete."},
        {"create_spam_task", "/cgi-bin/chatdata/analyze/create_spam_task",
         "Anti-spam analysis of chat messages: create the task."},
        {"get_spam_result", "/cgi-bin/chatdata/analyze/get_spam_result",
         "Anti-spam analysis: get the result."},
        {"create_chatdata_export_job", "/cgi-bin/chatdata/export/create_job",
         "Create an asynchronous job that exports archived chat messages."},
        {"get_chatdata_export_job_status", "/cgi-bin/chatdata/export/get_job_status",
         "Get the processing status of a chat export job."},
        {"program_async_job_call_back", "/cgi-bin/spec/program_async_job_call_back",
         "Report the result of an asynchronous task."},
        {"spec_notify_app", "/cgi-bin/chatdata/notifyapp",
         "Notify the provider's application back end (put a spec_gen_notify_id() id in param)."},
        {"create_program_task", "/cgi-bin/chatdata/analyze/create_program_task",
         "Run the provider's own analysis program asynchronously: create the task."},
        {"get_program_task_result", "/cgi-bin/chatdata/analyze/get_program_task_result",
         "The provider's own analysis program: get the result."},
        {"create_vq_model_task", "/cgi-bin/chatdata/analyze/create_vq_model_task",
         "Run the platform's general-purpose model asynchronously: create the task."},
        {"get_vq_model_result", "/cgi-bin/chatdata/analyze/get_vq_model_result",
         "The platform's general-purpose model: get the result."},
        {"search_contact_or_customer", "/cgi-bin/chatdata/search_contact_or_customer",
         "Search employees or customers by name."},
    };
    return table;
}

}  // namespace vq
