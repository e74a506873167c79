# The module's Apache-free sources (qv_core), each beside the adapter that
# uses it; shared by the module build and the fuzz build.
set(QV_CORE_SOURCES
  config/config_lines.cpp
  config/config_values.cpp
  config/revocation_memo.cpp
  config/revocation_values.cpp
  startup/agent_file_rules.cpp
  startup/library_version.cpp
  request/attribute_rules.cpp
  request/attributes.cpp
  request/path_forms.cpp
  request/resume_url.cpp
  request/token_cache.cpp
  request/token_search.cpp
  response/cookie_format.cpp
  response/login_answer.cpp
  response/page_text.cpp
  response/request_url.cpp
  response/url_syntax.cpp)
