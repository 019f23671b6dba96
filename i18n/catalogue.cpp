#include "i18n/catalogue.hpp"

#include "i18n/language.hpp"

namespace vellicor {

namespace {

using Catalogue = std::map<std::string, MessageTable, std::less<>>;

// The three tables hold the same keys; a test keeps them in step.
MessageTable english_table() {
  return {
      {"app_title", "Post-Quantum Stego"},
      {"usage_heading", "Usage:"},
      {"invalid_command", "Invalid command. Try: Vellicor --help"},
      {"missing_arguments_embed", "Missing arguments for embed."},
      {"missing_arguments_extract", "Missing arguments for extract."},
      {"checking_keypair", "Checking Kyber-1024 keypair in"},
      {"keys_ready", "Kyber-1024 keys ready in"},
      {"stego_written", "Stego PNG written:"},
      {"payload_restored", "Payload restored to file:"},
      {"corrected_command", "corrected command"},
      {"corrected_path", "corrected path"},
  };
}

MessageTable portuguese_table() {
  return {
      {"app_title", "Esteganografia pós-quântica"},
      {"usage_heading", "Uso:"},
      {"invalid_command", "Comando inválido. Tente: Vellicor --help"},
      {"missing_arguments_embed", "Faltam argumentos para embed."},
      {"missing_arguments_extract", "Faltam argumentos para extract."},
      {"checking_keypair", "Verificando o par de chaves Kyber-1024 em"},
      {"keys_ready", "Chaves Kyber-1024 prontas em"},
      {"stego_written", "PNG esteganográfico gravado:"},
      {"payload_restored", "Conteúdo restaurado no arquivo:"},
      {"corrected_command", "comando corrigido"},
      {"corrected_path", "caminho corrigido"},
  };
}

MessageTable spanish_table() {
  return {
      {"app_title", "Esteganografía poscuántica"},
      {"usage_heading", "Uso:"},
      {"invalid_command", "Comando no válido. Pruebe: Vellicor --help"},
      {"missing_arguments_embed", "Faltan argumentos para embed."},
      {"missing_arguments_extract", "Faltan argumentos para extract."},
      {"checking_keypair", "Comprobando el par de claves Kyber-1024 en"},
      {"keys_ready", "Claves Kyber-1024 listas en"},
      {"stego_written", "PNG esteganográfico escrito:"},
      {"payload_restored", "Contenido restaurado en el archivo:"},
      {"corrected_command", "comando corregido"},
      {"corrected_path", "ruta corregida"},
  };
}

// Empty until the first request; a run that never looks up a text never
// builds it. Single-threaded use, so no lock.
Catalogue& catalogue() {
  static Catalogue tables;
  if (tables.empty()) {
    tables.emplace("en", english_table());
    tables.emplace("pt", portuguese_table());
    tables.emplace("es", spanish_table());
  }
  return tables;
}

}  // namespace

const MessageTable& message_table(std::string_view language) {
  const Catalogue& tables = catalogue();
  auto it = tables.find(language);
  return it != tables.end() ? it->second : tables.find("en")->second;
}

std::string lookup_message(std::string_view key) {
  for (const MessageTable* table : {&message_table(current_language()), &message_table("en")}) {
    auto it = table->find(key);
    if (it != table->end()) return it->second;
  }
  return std::string(key);
}

}  // namespace vellicor
