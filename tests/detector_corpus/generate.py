"""Labelled whole scripts for measuring the platform detector: each script mixes statements that
any platform could run with a few written the way only one platform writes them, plus comments,
in every letter case. `scripts(seed)` yields (platform or None, text). Used by
tests/test_detector_accuracy.py and bench/detector_accuracy.py.
"""

import random

GENERIC = [
    "SELECT c.customer_id, c.name, SUM(o.amount) AS total\nFROM customers c\nJOIN orders o ON o.customer_id = c.customer_id\n"
    "WHERE o.order_date >= '2024-01-01'\nGROUP BY c.customer_id, c.name\nHAVING SUM(o.amount) > 1000\nORDER BY total DESC;",
    "INSERT INTO audit_log (event, created_at)\nVALUES ('nightly load', CURRENT_TIMESTAMP);",
    "UPDATE accounts\nSET status = 'closed'\nWHERE last_activity < '2020-01-01' AND balance = 0;",
    "DELETE FROM staging_orders WHERE batch_id IN (SELECT batch_id FROM batches WHERE state = 'done');",
    "WITH recent AS (\n    SELECT id, amount, ROW_NUMBER() OVER (PARTITION BY id ORDER BY created_at DESC) AS rn\n"
    "    FROM payments\n)\nSELECT id, amount FROM recent WHERE rn = 1;",
    "SELECT region,\n       CASE WHEN revenue > 100000 THEN 'large' WHEN revenue > 10000 THEN 'medium' ELSE 'small' END AS band\n"
    "FROM region_sales;",
    "CREATE VIEW active_customers AS\nSELECT customer_id, name, email FROM customers WHERE active = 1;",
    "SELECT p.product_id, COALESCE(p.description, 'n/a') AS description, COUNT(*) AS sold\n"
    "FROM products p LEFT JOIN order_lines l ON l.product_id = p.product_id\nGROUP BY p.product_id, p.description;",
    "DROP TABLE IF EXISTS tmp_results;",
    "SELECT d.dept_name, AVG(e.salary) AS avg_salary\nFROM employees e INNER JOIN departments d ON d.dept_id = e.dept_id\n"
    "GROUP BY d.dept_name;",
    "SELECT a.id FROM table_a a\nUNION ALL\nSELECT b.id FROM table_b b;",
    "CREATE INDEX idx_orders_customer ON orders (customer_id);",
]

COMMENTS = [
    "-- nightly reporting job\n", "-- owner: data platform team\n", "/* loads the reporting tables;\n   rerun safe */\n",
    "-- step {n}: refresh\n", "/* TODO: remove after migration */\n",
]

PLATFORM = {
    "sqlserver": [
        "SET NOCOUNT ON;",
        "SELECT TOP 10 o.OrderID, o.Total\nFROM dbo.Orders o WITH (NOLOCK)\nORDER BY o.Total DESC;",
        "IF OBJECT_ID('tempdb..#work') IS NOT NULL DROP TABLE #work;\nSELECT * INTO #work FROM dbo.Staging;",
        "BEGIN TRY\n    EXEC dbo.usp_LoadFacts @BatchId = 42;\nEND TRY\nBEGIN CATCH\n    SELECT ERROR_MESSAGE();\nEND CATCH",
        "DECLARE @rows INT;\nSET @rows = @@ROWCOUNT;",
        "CREATE TABLE dbo.Events (EventId UNIQUEIDENTIFIER NOT NULL, CreatedAt DATETIME2 NOT NULL);\nGO",
        "SELECT CONVERT(VARCHAR(10), GETDATE(), 120) AS today;",
        "SELECT [Order Details].Quantity FROM [Order Details];",
        "RAISERROR('batch failed', 16, 1);",
    ],
    "oracle": [
        "CREATE OR REPLACE PACKAGE BODY billing AS\n  PROCEDURE run IS\n  BEGIN\n    NULL;\n  END run;\nEND billing;\n/",
        "DECLARE\n  v_name VARCHAR2(100);\nBEGIN\n  SELECT name INTO v_name FROM customers WHERE id = 1;\n"
        "  DBMS_OUTPUT.PUT_LINE(v_name);\nEND;\n/",
        "SELECT e.name, d.name FROM emp e, dept d WHERE e.dept_id = d.id(+);",
        "SET SERVEROUTPUT ON",
        "CREATE TABLE invoices (id NUMBER(10), note VARCHAR2(400), amount NUMBER(12,2));",
        "BEGIN\n  IF :NEW.amount < 0 THEN\n    RAISE_APPLICATION_ERROR(-20001, 'negative amount');\n  END IF;\nEND;",
        "SELECT * FROM orders AS OF TIMESTAMP (SYSTIMESTAMP - INTERVAL '1' HOUR);",
        "WHENEVER SQLERROR EXIT FAILURE",
    ],
    "postgresql": [
        "CREATE TABLE users (id BIGSERIAL PRIMARY KEY, email TEXT NOT NULL, profile JSONB);",
        "INSERT INTO counters (key, value) VALUES ('hits', 1)\nON CONFLICT (key) DO UPDATE SET value = counters.value + 1;",
        "CREATE EXTENSION IF NOT EXISTS pgcrypto;",
        "SELECT DISTINCT ON (customer_id) customer_id, created_at FROM orders ORDER BY customer_id, created_at DESC;",
        "CREATE OR REPLACE FUNCTION touch() RETURNS trigger AS $$\nBEGIN\n  NEW.updated_at := now();\n  RETURN NEW;\nEND;\n$$ LANGUAGE plpgsql;",
        "SELECT id FROM documents WHERE to_tsvector('english', body) @@ to_tsquery('spark');",
        "SELECT payload FROM events WHERE payload @> '{\"type\": \"click\"}';",
        "\\copy staging FROM 'data.csv' WITH CSV HEADER",
    ],
    "mysql": [
        "CREATE TABLE `orders` (\n  `id` INT(11) NOT NULL AUTO_INCREMENT,\n  `status` ENUM('new','paid') NOT NULL,\n  PRIMARY KEY (`id`)\n"
        ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;",
        "INSERT INTO stats (day, hits) VALUES (CURDATE(), 1) ON DUPLICATE KEY UPDATE hits = hits + 1;",
        "SELECT customer_id, GROUP_CONCAT(product ORDER BY product SEPARATOR ', ') FROM order_lines GROUP BY customer_id;",
        "/*!40101 SET NAMES utf8 */;",
        "SET FOREIGN_KEY_CHECKS = 0;",
        "DELIMITER $$\nCREATE PROCEDURE refresh()\nBEGIN\n  SELECT 1;\nEND$$\nDELIMITER ;",
        "# purge old sessions\nDELETE FROM sessions WHERE expires_at < NOW();",
    ],
    "snowflake": [
        "SELECT f.value:name::STRING AS name\nFROM raw_events, LATERAL FLATTEN(input => payload:items) f;",
        "CREATE OR REPLACE TABLE events (id NUMBER, payload VARIANT, loaded_at TIMESTAMP_NTZ);",
        "USE WAREHOUSE transform_wh;",
        "COPY INTO raw_events FROM @%raw_events FILE_FORMAT = (TYPE = JSON);",
        "SELECT * EXCLUDE (ssn) FROM customers;",
        "SELECT DIV0(revenue, visits) AS rpv, ZEROIFNULL(refunds) FROM daily_stats;",
        "CREATE TABLE orders_dev CLONE orders;",
        "SELECT * FROM orders AT(OFFSET => -3600);",
    ],
    "redshift": [
        "CREATE TABLE sales (\n  sale_id BIGINT ENCODE AZ64,\n  region VARCHAR(20) ENCODE ZSTD\n)\nDISTSTYLE KEY\nDISTKEY (sale_id)\nSORTKEY (region);",
        "COPY sales FROM 's3://bucket/sales/'\nIAM_ROLE 'arn:aws:iam::123456789012:role/loader'\nFORMAT AS PARQUET;",
        "UNLOAD ('SELECT * FROM sales') TO 's3://bucket/export/' IAM_ROLE default;",
        "SELECT query, elapsed FROM STL_QUERY WHERE userid > 1 ORDER BY starttime DESC LIMIT 20;",
        "SELECT APPROXIMATE COUNT(DISTINCT user_id) FROM page_views;",
        "ALTER TABLE sales APPEND FROM sales_staging;",
    ],
    "bigquery": [
        "#standardSQL\nSELECT user_id, COUNT(*) AS sessions FROM `proj.analytics.sessions_*`\n"
        "WHERE _TABLE_SUFFIX BETWEEN '20240101' AND '20240131' GROUP BY user_id;",
        "SELECT SAFE_CAST(amount AS INT64) AS amount FROM `proj.sales.orders`;",
        "SELECT item, pos FROM `proj.ds.t`, UNNEST(items) AS item WITH OFFSET AS pos;",
        "EXPORT DATA OPTIONS (uri = 'gs://bucket/out/*.csv', format = 'CSV') AS\nSELECT * FROM `proj.ds.t`;",
        "CREATE TEMP FUNCTION add_one(x FLOAT64)\nRETURNS FLOAT64\nLANGUAGE js AS r\"\"\"\n  return x + 1;\n\"\"\";",
        "SELECT * FROM `proj.ds.events` WHERE _PARTITIONDATE = CURRENT_DATE();",
        "SELECT * EXCEPT (internal_id) FROM `proj.ds.customers`;",
    ],
    "teradata": [
        "CREATE MULTISET TABLE sales_db.orders, NO FALLBACK (\n  order_id INTEGER,\n  amount DECIMAL(12,2)\n)\nPRIMARY INDEX (order_id);",
        "SEL order_id, amount FROM sales_db.orders WHERE amount > 100;",
        "COLLECT STATISTICS ON sales_db.orders COLUMN (order_id);",
        "LOCKING ROW FOR ACCESS\nSELECT * FROM sales_db.orders;",
        "DATABASE sales_db;",
        "REPLACE MACRO sales_db.daily_totals AS (\n  SELECT order_date, SUM(amount) FROM sales_db.orders GROUP BY 1;\n);",
        "SELECT order_date (FORMAT 'YYYY-MM-DD') FROM sales_db.orders;",
        "SELECT region, CSUM(amount, order_date) FROM sales_db.orders;",
    ],
    "databricks": [
        "-- Databricks notebook source\n-- MAGIC %md\n-- MAGIC # Daily load",
        "-- COMMAND ----------",
        "CREATE TABLE bronze.events (id BIGINT, payload STRING)\nUSING DELTA\nPARTITIONED BY (id);",
        "OPTIMIZE silver.orders ZORDER BY (customer_id);",
        "VACUUM silver.orders RETAIN 168 HOURS;",
        "SELECT * FROM silver.orders VERSION AS OF 12;",
        "DESCRIBE HISTORY silver.orders;",
        "SET spark.sql.shuffle.partitions = 200;",
        "CREATE OR REFRESH STREAMING TABLE raw_orders AS SELECT * FROM STREAM read_files('/mnt/raw');",
    ],
    "hive": [
        "MSCK REPAIR TABLE web_logs;",
        "CREATE EXTERNAL TABLE web_logs (\n  ip STRING,\n  request STRUCT<method:STRING, path:STRING>\n)\n"
        "PARTITIONED BY (dt STRING)\nSTORED AS ORC\nLOCATION '/data/web_logs';",
        "CREATE TABLE mixed (u UNIONTYPE<INT, STRING>);",
        "SELECT ip, tags FROM web_logs LATERAL VIEW explode(tag_list) t AS tags;",
        "CREATE TABLE kv (m MAP<STRING, ARRAY<STRUCT<k:STRING, v:INT>>>);",
    ],
}


def _case(rng, text):
    roll = rng.random()
    if roll < 0.15:
        return text.lower()
    if roll < 0.25:
        return text.upper()
    return text


def script(rng, platform):
    """One script: generic statements with one to four statements of `platform` (or none)."""
    parts = [_case(rng, s) for s in rng.sample(GENERIC, rng.randint(2, 7))]
    if platform is not None:
        own = PLATFORM[platform]
        parts += rng.sample(own, rng.randint(1, min(4, len(own))))
    rng.shuffle(parts)
    out = []
    for n, part in enumerate(parts):
        if rng.random() < 0.4:
            out.append(rng.choice(COMMENTS).format(n=n))
        out.append(part + "\n\n")
    return "".join(out)


def scripts(seed=11, per_platform=40, generic=40):
    rng = random.Random(seed)
    for platform in PLATFORM:
        for _ in range(per_platform):
            yield platform, script(rng, platform)
    for _ in range(generic):
        yield None, script(rng, None)
