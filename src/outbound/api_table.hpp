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
         "sync_msg($self, /, param)\n--\n\nChat content: fetch chat records."},
        {"get_msg_list_by_page_id", "/cgi-bin/chatdata/get_msg_list_by_page_id",
         "get_msg_list_by_page_id($self, /, param)\n--\n\nChat content: fetch chat records by page id."},
        {"get_group_chat", "/cgi-bin/chatdata/groupchat/get",
         "get_group_chat($self, /, param)\n--\n\nGet an internal group chat: owner, creation time, members and their join times."},
        {"get_agree_status_single", "/cgi-bin/chatdata/getagreestatus/single",
         "get_agree_status_single($self, /, param)\n--\n\nGet in batch the consent status of external members in one-to-one chats."},
        {"get_agree_status_room", "/cgi-bin/chatdata/getagreestatus/room",
         "get_agree_status_room($self, /, param)\n--\n\nGet the consent status of the external contacts in a group chat."},
        {"set_hide_sensitiveinfo_config", "/cgi-bin/chatdata/set_hide_sensitiveinfo_config",
         "set_hide_sensitiveinfo_config($self, /, param)\n--\n\nSet whether the chat component masks sensitive information."},
        {"get_hide_sensitiveinfo_config", "/cgi-bin/chatdata/get_hide_sensitiveinfo_config",
         "get_hide_sensitiveinfo_config($self, /, param)\n--\n\nGet the sensitive-information masking setting."},
        {"search_chat", "/cgi-bin/chatdata/search_chat",
         "search_chat($self, /, param)\n--\n\nSearch the names of the company's group chats."},
        {"search_msg", "/cgi-bin/chatdata/search_msg",
         "search_msg($self, /, param)\n--\n\nSearch the content of the company's chats."},
        {"create_rule", "/cgi-bin/chatdata/keyword/create_rule",
         "create_rule($self, /, param)\n--\n\nCreate a keyword rule (at most 100 rules)."},
        {"get_rule_list", "/cgi-bin/chatdata/keyword/get_rule_list",
         "get_rule_list($self, /, param)\n--\n\nList the company's keyword rules."},
        {"get_rule_detail", "/cgi-bin/chatdata/keyword/get_rule_detail",
         "get_rule_detail($self, /, param)\n--\n\nGet the details of a keyword rule."},
        {"update_rule", "/cgi-bin/chatdata/keyword/update_rule",
         "update_rule($self, /, param)\n--\n\nModify a keyword rule."},
        {"delete_rule", "/cgi-bin/chatdata/keyword/delete_rule",
         "delete_rule($self, /, param)\n--\n\nDelete a keyword rule."},
        {"get_hit_msg_list", "/cgi-bin/chatdata/keyword/get_hit_msg_list",
         "get_hit_msg_list($self, /, param)\n--\n\nGet the chat records of a period that hit keyword rules or key behaviours."},
        {"create_sentiment_task", "/cgi-bin/chatdata/analyze/create_sentiment_task",
         "create_sentiment_task($self, /, param)\n--\n\nSentiment analysis of chat messages: create the task."},
        {"get_sentiment_result", "/cgi-bin/chatdata/analyze/get_sentiment_result",
         "get_sentiment_result($self, /, param)\n--\n\nSentiment analysis: get the result."},
        {"create_summary_task", "/cgi-bin/chatdata/analyze/create_summary_task",
         "create_summary_task($self, /, param)\n--\n\nSummary extraction for a batch of chats: create the task."},
        {"get_summary_result", "/cgi-bin/chatdata/analyze/get_summary_result",
         "get_summary_result($self, /, param)\n--\n\nSummary extraction: get the result."},
        {"create_customer_tag_task", "/cgi-bin/chatdata/analyze/create_customer_tag_task",
         "create_customer_tag_task($self, /, param)\n--\n\nCustomer tag matching over a batch of chats: create the task."},
        {"get_customer_tag_result", "/cgi-bin/chatdata/analyze/get_customer_tag_result",
         "get_customer_tag_result($self, /, param)\n--\n\nCustomer tag matching: get the result."},
        {"create_recommend_dialog_task", "/cgi-bin/chatdata/analyze/create_recommend_dialog_task",
         "create_recommend_dialog_task($self, /, param)\n--\n\nReply-script recommendation from a knowledge base: create the task."},
        {"get_recommend_dialog_result", "/cgi-bin/chatdata/analyze/get_recommend_dialog_result",
         "get_recommend_dialog_result($self, /, param)\n--\n\nReply-script recommendation: get the result."},
        {"create_model_task", "/cgi-bin/chatdata/analyze/create_model_task",
         "create_model_task($self, /, param)\n--\n\nAnalysis with the provider's own language model: create the task."},
        {"get_model_task_result", "/cgi-bin/chatdata/analyze/get_model_task_result",
         "get_model_task_result($self, /, param)\n--\n\nAnalysis with the provider's own model: get the result."},
        {"document_list", nullptr,
         "document_list($self, /, param)\n--\n\nDeprecated: use knowledge_base_list, which this calls."},
        {"knowledge_base_list", "/cgi-bin/knowledgebase/list",
         "knowledge_base_list($self, /, param)\n--\n\nList the knowledge bases the company has authorised to the provider."},
        {"knowledge_base_create", "/cgi-bin/knowledgebase/create",
         "knowledge_base_create($self, /, param)\n--\n\nKnowledge set management: create."},
        {"knowledge_base_detail", "/cgi-bin/knowledgebase/detail",
         "knowledge_base_detail($self, /, param)\n--\n\nKnowledge set management: get the details."},
        {"knowledge_base_add_doc", "/cgi-bin/knowledgebase/add_document",
         "knowledge_base_add_doc($self, /, param)\n--\n\nKnowledge set management: add content."},
        {"knowledge_base_remove_doc", "/cgi-bin/knowledgebase/remove_document",
         "knowledge_base_remove_doc($self, /, param)\n--\n\nKnowledge set management: remove content."},
        {"knowledge_base_modify_name", "/cgi-bin/knowledgebase/rename",
         "knowledge_base_modify_name($self, /, param)\n--\n\nKnowledge set management: rename."},
        {"knowledge_base_delete", "/cgi-bin/knowledgebase/delete",
         "knowledge_base_delete($self, /, param)\n--\n\nKnowledge set management: delete."},
        {"create_spam_task", "/cgi-bin/chatdata/analyze/create_spam_task",
         "create_spam_task($self, /, param)\n--\n\nAnti-spam analysis of chat messages: create the task."},
        {"get_spam_result", "/cgi-bin/chatdata/analyze/get_spam_result",
         "get_spam_result($self, /, param)\n--\n\nAnti-spam analysis: get the result."},
        {"create_chatdata_export_job", "/cgi-bin/chatdata/export/create_job",
         "create_chatdata_export_job($self, /, param)\n--\n\nCreate an asynchronous job that exports archived chat messages."},
        {"get_chatdata_export_job_status", "/cgi-bin/chatdata/export/get_job_status",
         "get_chatdata_export_job_status($self, /, param)\n--\n\nGet the processing status of a chat export job."},
        {"program_async_job_call_back", "/cgi-bin/spec/program_async_job_call_back",
         "program_async_job_call_back($self, /, param)\n--\n\nReport the result of an asynchronous task."},
        {"spec_notify_app", "/cgi-bin/chatdata/notifyapp",
         "spec_notify_app($self, /, param)\n--\n\nNotify the provider's application back end (put a spec_gen_notify_id() id in param)."},
        {"create_program_task", "/cgi-bin/chatdata/analyze/create_program_task",
         "create_program_task($self, /, param)\n--\n\nRun the provider's own analysis program asynchronously: create the task."},
        {"get_program_task_result", "/cgi-bin/chatdata/analyze/get_program_task_result",
         "get_program_task_result($self, /, param)\n--\n\nThe provider's own analysis program: get the result."},
        {"create_vq_model_task", "/cgi-bin/chatdata/analyze/create_vq_model_task",
         "create_vq_model_task($self, /, param)\n--\n\nRun the platform's general-purpose model asynchronously: create the task."},
        {"get_vq_model_result", "/cgi-bin/chatdata/analyze/get_vq_model_result",
         "get_vq_model_result($self, /, param)\n--\n\nThe platform's general-purpose model: get the result."},
        {"search_contact_or_customer", "/cgi-bin/chatdata/search_contact_or_customer",
         "search_contact_or_customer($self, /, param)\n--\n\nSearch employees or customers by name."},
    };
    return table;
}

}  // namespace vq
