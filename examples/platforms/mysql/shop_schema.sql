-- shop schema: example mysql script
INSERT INTO audit_log (event, created_at)
VALUES ('nightly load', CURRENT_TIMESTAMP);

SELECT d.dept_name, AVG(e.salary) AS avg_salary
FROM employees e INNER JOIN departments d ON d.dept_id = e.dept_id
GROUP BY d.dept_name;

SELECT c.customer_id, c.name, SUM(o.amount) AS total
FROM customers c
JOIN orders o ON o.customer_id = c.customer_id
WHERE o.order_date >= '2024-01-01'
GROUP BY c.customer_id, c.name
HAVING SUM(o.amount) > 1000
ORDER BY total DESC;

CREATE TABLE `orders` (
  `id` INT(11) NOT NULL AUTO_INCREMENT,
  `status` ENUM('new','paid') NOT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

INSERT INTO stats (day, hits) VALUES (CURDATE(), 1) ON DUPLICATE KEY UPDATE hits = hits + 1;

SELECT customer_id, GROUP_CONCAT(product ORDER BY product SEPARATOR ', ') FROM order_lines GROUP BY customer_id;

/*!40101 SET NAMES utf8 */;

SET FOREIGN_KEY_CHECKS = 0;

DELIMITER $$
CREATE PROCEDURE refresh()
BEGIN
  SELECT 1;
END$$
DELIMITER ;

# purge old sessions
DELETE FROM sessions WHERE expires_at < NOW();

